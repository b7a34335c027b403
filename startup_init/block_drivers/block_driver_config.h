// The block-driver configuration functions of ZVVstIn, exported by name.
//
// Owns: the twelve functions below, their C names and the per-process
// tables behind them (400 URL records of 16 bytes, 100 port records of 8
// bytes). They write the settings of the URL-block driver "mxblkurl" and
// the port-block driver "mxblkprt" into the drivers' service keys, copy the
// driver files from the program's folder into System32\Drivers, and
// install, start, stop and remove the two driver services.
// Must not: create the service keys in the settings calls (the keys must
// exist), or lock anything across calls of different processes. Every
// function answers; none throws.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int MXBLKURLSetDefaultStatusIsBlocking(int flag);
int MXBLKURLSetDebugTextOutputStatus(int flag);
int MXBLKURLClearExceptionURLTextList(void);
int MXBLKURLAddExceptionURLTextA(const char* url);
int MXBLKURLAddExceptionURLTextW(const wchar_t* url);
int MXBLKURLSaveBlockURLSettings(void);
int MXBLKURLAddExceptionPort(unsigned first, unsigned second);
int MXBLKURLSaveBlockPortSettings(void);
int MXBLKURLStartURLDriver(int is64);
int MXBLKURLStartPortDriver(int is64);
int MXBLKURLStopURLDriver(int remove);
int MXBLKURLStopPortDriver(int remove);

#ifdef __cplusplus
}
#endif
