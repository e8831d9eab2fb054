// The process-wide global atom table: reference-counted texts with 16-bit handles.
//
// Handles run from 0xC000 to 0xFFFF (16,384 entries). Names are 1 to 255 bytes and compare
// byte-exactly (case-sensitive, unlike Windows), because a string tag must write exactly the text
// the user typed. All functions are thread-safe. Integer atoms ("#123") are not special here.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Adds `name` or increments its reference count. 0 when the name is empty, longer than 255 bytes
// or the table is full.
ATOM GlobalAddAtomA(const char* name);

// The atom of `name`, or 0 when it is not in the table.
ATOM GlobalFindAtomA(const char* name);

// Copies the atom's name into `buffer` (NUL-terminated, cut to at most size-1 bytes without
// splitting a GBK double-byte character) and returns the number of bytes copied without the NUL;
// 0 for an unknown atom (the buffer then holds an empty text) or a buffer size below 1.
UINT GlobalGetAtomNameA(ATOM atom, char* buffer, int size);

// Decrements the reference count, removing the entry when it reaches 0. Returns 0 on success and
// the atom itself when it is unknown (the Windows convention).
ATOM GlobalDeleteAtom(ATOM atom);

}  // namespace platform
