"""Object detection in the demo: the provisioned network run over real
photographs (scikit-image's data folder) and over a short clip made from
them, with the labels found and the time each picture and frame took."""
import contextlib
import io
import os
import time

PHOTOS = [("cat", "chelsea"), ("astronaut", "astronaut"), ("coffee", "coffee")]
SIDE = 416


def on_grey_canvas(cv2, np, rgb):
    """The photo shrunk to half of a grey square: the network misses
    close-ups that fill its whole input, as wider shots show them."""
    bgr = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
    height, width = bgr.shape[:2]
    scale = SIDE * 0.5 / max(height, width)
    small = cv2.resize(bgr, (round(width * scale), round(height * scale)),
                       interpolation=cv2.INTER_AREA)
    canvas = np.full((SIDE, SIDE, 3), 128, np.uint8)
    top, left = (SIDE - small.shape[0]) // 2, (SIDE - small.shape[1]) // 2
    canvas[top:top + small.shape[0], left:left + small.shape[1]] = small
    return canvas


def describe(found):
    return ", ".join(f"{label} {confidence:.2f}" for label, confidence in found) or "(nothing)"


def show_object_detection(work):
    try:
        import cv2
        import numpy as np
        from skimage import data
    except ImportError as exc:
        print(f"\n(object detection skipped: {exc.name} is not installed)")
        return
    from wrapper.infra import ClipScanner, PictureScanner

    res = os.path.join(os.path.dirname(os.path.abspath(PictureScanner.__file__)), "res")
    if not os.path.isfile(os.path.join(res, "yolov3.weights")):
        print(f"\n(object detection skipped: no network in {res}; scripts/setup.sh provisions one)")
        return
    print(f"\nObject detection with the network in {res}\n"
          "(the first picture also loads the network; later ones reuse it)")
    folder = os.path.join(work, "photos")
    os.makedirs(folder)
    canvases = []
    for name, source in PHOTOS:
        canvas = on_grey_canvas(cv2, np, getattr(data, source)())
        canvases.append(canvas)
        path = os.path.join(folder, name + ".png")
        cv2.imwrite(path, canvas)
        started, cpu = time.perf_counter(), time.process_time()
        with contextlib.redirect_stdout(io.StringIO()):  # the detector prints the shape
            found = PictureScanner.identify_objects_in_image(path)
        print(f"  picture {name + '.png':15s} {describe(found):28s} "
              f"{time.perf_counter() - started:.3f}s (CPU {time.process_time() - cpu:.3f}s)")

    clip = os.path.join(folder, "clip.mp4")
    writer = cv2.VideoWriter(clip, cv2.VideoWriter_fourcc(*"mp4v"), 2, (SIDE, SIDE))
    for canvas in canvases:
        for _ in range(2):
            writer.write(canvas)
    writer.release()
    started, cpu = time.perf_counter(), time.process_time()
    frames = ClipScanner.identify_objects_in_video(clip)
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    n = max(len(frames), 1)
    print(f"  video   clip.mp4, {len(frames)} frames (network loaded once per video): "
          f"{seconds / n:.3f}s per frame (CPU {cpu / n:.3f}s)")
    for k, found in enumerate(frames):
        print(f"    frame {k}: {describe(found)}")
