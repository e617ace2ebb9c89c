"""Calls edgemap from Python through ctypes: edgemap_demo.py SOURCE TARGET [LIBRARY]."""
import ctypes
import sys


def utf16(path: str) -> bytes:
    # The library takes zero-terminated UTF-16; ctypes' c_wchar_p is 32-bit
    # on Linux, so pass the encoded bytes.
    return path.encode("utf-16-le") + b"\0\0"


library = ctypes.CDLL(sys.argv[3] if len(sys.argv) > 3 else "libedgemap.so.1")
library.QTVSolbelP.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
library.QTVSolbelP.restype = ctypes.c_int32
result = library.QTVSolbelP(utf16(sys.argv[1]), utf16(sys.argv[2]))
print("QTVSolbelP returned", result)
