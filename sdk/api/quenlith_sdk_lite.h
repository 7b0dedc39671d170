/* The SDK's whole public interface: plain C functions over integers, C strings,
 * caller-owned buffers and one callback. Nothing allocated on one side of this
 * boundary is freed on the other. */
#ifndef QUENLITH_SDK_LITE_H
#define QUENLITH_SDK_LITE_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#define QUENLITH_SDK_LITE_API __attribute__((visibility("default")))

/* Called on the device's stream thread with the 16,400-byte output frame, which
 * is valid only until the call returns, and the user pointer given at
 * registration. */
typedef void (*ReceiveDataCallback)(void* frame, void* user);

QUENLITH_SDK_LITE_API int iQuenlith_SDK_Lite_GetVersion(void);
QUENLITH_SDK_LITE_API int iQuenlith_SDK_Lite_CreateDevice(int workset, const char* iniFile,
                                                           const char* parameters);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_CloseDevice(int handle);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_SetReceiveDataCallback(int handle,
                                                                      ReceiveDataCallback callback,
                                                                      void* user);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_ProcessData(int handle, void* buffer);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_Reset(int handle, int mode, int reserved);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_SendImplementationSpecificCommand(int handle,
                                                                                 const char* command,
                                                                                 void* input,
                                                                                 void* output);
QUENLITH_SDK_LITE_API int iQuenlith_SDK_Lite_GetHubId(int handle, char* buffer, int length);
QUENLITH_SDK_LITE_API int iQuenlith_SDK_Lite_GetSensorId(int handle, int address, char* buffer,
                                                          int length);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_GetSensorFlash(int handle, int address, char* buffer,
                                                              unsigned int* length);
QUENLITH_SDK_LITE_API bool iQuenlith_SDK_Lite_SetSensorFlash(int handle, int address,
                                                              const unsigned char* data, int length);

#ifdef __cplusplus
}
#endif

#endif
