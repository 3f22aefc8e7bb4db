// The D2XX calls the device link makes, declared from the library's
// documented shapes. The updater's own build forwards them to the vendor's
// library loaded at run time; tests link a scripted adapter in their place.
#pragma once

#include <cstdint>

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;

inline constexpr uint8_t FT_BITS_8 = 8;
inline constexpr uint8_t FT_STOP_BITS_1 = 0;
inline constexpr uint8_t FT_PARITY_NONE = 0;
inline constexpr uint16_t FT_FLOW_NONE = 0;
inline constexpr uint32_t FT_PURGE_RX = 1;
inline constexpr uint32_t FT_PURGE_TX = 2;

FT_STATUS FT_Open(int device_number, FT_HANDLE* handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_ResetDevice(FT_HANDLE handle);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                    uint8_t parity);
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff);
FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                      uint8_t error_char, uint8_t error_enable);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms);
FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t ms);
FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t n, uint32_t* done);
FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, uint32_t n, uint32_t* done);
