# The same host as sdk_exit_host, as a Python program loads the SDK: through
# ctypes, which never unloads it.
import ctypes
import sys

library = ctypes.CDLL(sys.argv[1])
for parameters in sys.argv[2:]:
    if library.iQuenlith_SDK_Lite_CreateDevice(1, b"none.ini", parameters.encode()) < 0:
        sys.exit(2)
