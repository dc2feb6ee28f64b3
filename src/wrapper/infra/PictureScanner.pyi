import os as os

import cv2 as cv2
import numpy as np

def get_layers() -> tuple[cv2.dnn.Net, list[str], list[str]]: ...
def identify_objects_in_image(image_path: str) -> list[tuple[str, float]]: ...
