import cv2 as cv2
import numpy as np

from .PictureScanner import get_layers as get_layers

def identify_objects_in_video(video_path: str) -> list[list[tuple[str, float]]]: ...
