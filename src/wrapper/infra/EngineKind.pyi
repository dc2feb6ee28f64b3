from enum import Enum

class EngineKind(Enum):
    SB = "SB"
    TD = "TD"
