"""One colour per macroblock type, shared by the demo's panel and the YUView statistics file:
intra in warm colours, skipped blocks in greys, motion-coded ones in greens and blues."""

import vexmira

MbType = vexmira.MbType

# RGB, 0-255.
MB_TYPE_COLOURS = {
    MbType.INTRA_4X4: (214, 39, 40),
    MbType.INTRA_16X16: (255, 127, 14),
    MbType.INTRA_PCM: (227, 119, 194),
    MbType.SKIP: (199, 199, 199),
    MbType.DIRECT_SKIP: (140, 140, 140),
    MbType.DIRECT: (23, 190, 207),
    MbType.L0: (44, 160, 44),
    MbType.L1: (31, 119, 180),
    MbType.BI: (148, 103, 189),
}
