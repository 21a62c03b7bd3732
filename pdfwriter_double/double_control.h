// Control exports of the recording test double of pdfwriter.dll (cdecl).
// Tests load the double by its full path and find these with GetProcAddress.
#pragma once

#include <cstdint>

extern "C" {
// Forgets the recorded calls and every script.
typedef void (*DoubleResetFunc)();
// The next call of export `name` ("AddPage") returns `result` (0 = failure,
// a null handle or pointer); with `report` it first calls the error function
// with `code` and `msg` (msg may be null).
typedef void (*DoubleScriptFunc)(const char* name, uint32_t result, int report, uint32_t code, const char* msg);
// Values the next call of `name` stores through its out parameters, in order.
typedef void (*DoubleOutsFunc)(const char* name, int64_t first, int64_t second);
// The text a text getter hands out; `secondLength` >= 0 replaces the length
// it claims to have stored on the second call (a misbehaving library).
typedef void (*DoubleTextFunc)(const char* name, const char* utf8, int32_t secondLength);
// Every call since the last reset, one per line: Name(arg, arg, ...).
typedef const char* (*DoubleCallsFunc)();
}
