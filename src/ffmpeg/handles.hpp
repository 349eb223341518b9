#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

// Owners of FFmpeg's objects, so that every early return or throw frees them and no class
// writes a close() of its own. Each deleter takes what FFmpeg's free function takes and
// accepts null, as those functions do.
struct FormatContextClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct ParserClose {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct DictionaryFree {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

using FormatContextHandle = std::unique_ptr<AVFormatContext, FormatContextClose>;
using CodecContextHandle = std::unique_ptr<AVCodecContext, CodecContextFree>;
using ParserHandle = std::unique_ptr<AVCodecParserContext, ParserClose>;
using PacketHandle = std::unique_ptr<AVPacket, PacketFree>;
using FrameHandle = std::unique_ptr<AVFrame, FrameFree>;
using DictionaryHandle = std::unique_ptr<AVDictionary, DictionaryFree>;

// A packet and a frame to read and decode into, or std::bad_alloc.
PacketHandle allocate_packet();
FrameHandle allocate_frame();

// Drops the packet's reference when it goes out of scope, so that every way out of a loop
// iteration releases the packet read in it.
class PacketReference {
public:
    explicit PacketReference(AVPacket& packet) : packet_(packet) {}
    ~PacketReference() { av_packet_unref(&packet_); }
    PacketReference(const PacketReference&) = delete;
    PacketReference& operator=(const PacketReference&) = delete;

private:
    AVPacket& packet_;
};

// The same for a decoded picture.
class FrameReference {
public:
    explicit FrameReference(AVFrame& frame) : frame_(frame) {}
    ~FrameReference() { av_frame_unref(&frame_); }
    FrameReference(const FrameReference&) = delete;
    FrameReference& operator=(const FrameReference&) = delete;

private:
    AVFrame& frame_;
};
