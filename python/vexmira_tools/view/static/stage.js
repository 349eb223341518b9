// Zoom and pan of the pictures, shared by the panes so that two files stay side by side:
// the wheel zooms about the pointer, dragging pans, a double click fits the picture again.
// Hovering a picture shows the numbers of the macroblock under the pointer.
const view = { zoom: 1, panX: 0, panY: 0 };
const pictures = [];

function applyView() {
  for (const picture of pictures)
    picture.style.transform = `translate(${view.panX}px, ${view.panY}px) scale(${view.zoom})`;
}

export function fitView(stage, width, height) {
  view.zoom = Math.min(stage.clientWidth / width, stage.clientHeight / height);
  view.panX = (stage.clientWidth - width * view.zoom) / 2;
  view.panY = (stage.clientHeight - height * view.zoom) / 2;
  applyView();
}

// describe(col, row): the text for the macroblock at that place of the picture.
export function zoomAndHover(stage, picture, describe, fit) {
  pictures.push(picture);
  const hover = document.getElementById("hover");
  stage.addEventListener("wheel", (event) => {
    event.preventDefault();
    const rect = stage.getBoundingClientRect(), factor = event.deltaY < 0 ? 1.25 : 0.8;
    const x = event.clientX - rect.left, y = event.clientY - rect.top;
    view.panX = x - (x - view.panX) * factor;
    view.panY = y - (y - view.panY) * factor;
    view.zoom *= factor;
    applyView();
  }, { passive: false });
  let drag = null;
  stage.addEventListener("pointerdown", (event) => { drag = { x: event.clientX - view.panX, y: event.clientY - view.panY }; });
  window.addEventListener("pointerup", () => { drag = null; });
  stage.addEventListener("dblclick", fit);
  stage.addEventListener("pointermove", (event) => {
    if (drag) { view.panX = event.clientX - drag.x; view.panY = event.clientY - drag.y; applyView(); }
    const rect = picture.getBoundingClientRect();
    const x = ((event.clientX - rect.left) / rect.width) * picture.width;
    const y = ((event.clientY - rect.top) / rect.height) * picture.height;
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) { hover.hidden = true; return; }
    hover.hidden = false;
    hover.textContent = describe(Math.floor(x / 16), Math.floor(y / 16));
    hover.style.left = `${event.clientX + 14}px`;
    hover.style.top = `${event.clientY + 14}px`;
  });
  stage.addEventListener("pointerleave", () => { hover.hidden = true; });
}
