// GBK (code page 936) text: conversion to and from UTF-8, and the fixed, NUL-terminated character
// arrays of the records.
//
// Every text inside a record, a data file or a driver call is GBK; the user interface works in
// UTF-8. Conversions are strict: an invalid byte sequence, or a character with no GBK form, makes
// the conversion fail instead of producing '?'.
//
//   char name[32];
//   platform::CopyToArray(name, gbkText);          // cut at a character boundary if too long
//   std::string_view text = platform::ArrayText(name);  // never reads past the array
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Converts GBK bytes to UTF-8. Returns false when `gbk` is not valid GBK; `out` is then unspecified.
[[nodiscard]] bool GbkToUtf8(std::string_view gbk, std::string& out);

// Converts UTF-8 to GBK. Returns false when `utf8` is not valid UTF-8 or holds a character that
// GBK cannot represent; `out` is then unspecified.
[[nodiscard]] bool Utf8ToGbk(std::string_view utf8, std::string& out);

// Convenience forms for texts known to be valid; an invalid text yields an empty string.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// Length of the longest prefix of `gbk` that is at most `maxBytes` long and does not end inside a
// double-byte character.
std::size_t GbkPrefixLength(std::string_view gbk, std::size_t maxBytes);

// Copies `gbk` into `dst` with its terminating NUL, cut at a character boundary when it does not
// fit; the rest of `dst` is zero-filled. Returns true when the whole text fit.
bool CopyToArray(std::span<char> dst, std::string_view gbk);

template <std::size_t N>
bool CopyToArray(char (&dst)[N], std::string_view gbk) {
  return CopyToArray(std::span<char>(dst, N), gbk);
}

// The text of a NUL-terminated array: up to the first NUL, or the whole array when it holds none.
std::string_view ArrayText(std::span<const char> src);

template <std::size_t N>
std::string_view ArrayText(const char (&src)[N]) {
  return ArrayText(std::span<const char>(src, N));
}

}  // namespace platform
