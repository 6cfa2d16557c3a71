// Status codes shared by the whole suite: 0 is success, negative is failure,
// printed with "%x" in log lines. Nothing throws across subsystem boundaries;
// every fallible operation returns one of these.
#pragma once

#include <cerrno>
#include <cstdint>

namespace quol {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
// "The system cannot find the file specified", used for missing keys, values, files.
inline constexpr HRESULT E_NOT_FOUND = static_cast<HRESULT>(0x80070002u);
// The stored data has another type or size than the caller asked for.
inline constexpr HRESULT E_BAD_FORMAT = static_cast<HRESULT>(0x8007000Bu);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Maps a POSIX errno value into the failure range, the way system error codes
// are wrapped elsewhere in the suite (facility 7, code in the low 16 bits).
constexpr HRESULT HresultFromErrno(int err) {
  return err == 0 ? E_FAIL
                  : static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(err) & 0xFFFFu));
}

inline HRESULT HresultFromLastErrno() { return HresultFromErrno(errno); }

}  // namespace quol
