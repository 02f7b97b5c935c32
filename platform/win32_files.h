// The file services the driver and the writers are written against.
//
// On Windows they are the real KERNEL32/USER32 calls. Elsewhere this header
// declares the same names, types and constants, and platform/posix/files.cpp
// gives them the behaviour the tool relies on: the open mode of the archive,
// ERROR_ALREADY_EXISTS from CreateDirectoryA, and moves by signed 32-bit
// distances from the start or from the current position, with the high part
// of the position carried as Windows carries it.
//
// There a failure's code is the errno value itself, marked with bit 29, the
// bit Win32 leaves to codes that programs define: no errno is lost to a
// table that has no entry for it, and DescribeError gives the C library's own
// words for every one. The few ERROR_ constants the shared code uses, to
// compare with or to give as a reason, are the errno values that mean the
// same.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include <cerrno>
#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using PLONG = LONG*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;

constexpr DWORD kErrnoCode = 0x20000000u;
constexpr DWORD ErrorFromErrno(int error) { return kErrnoCode | static_cast<DWORD>(error); }

constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_HANDLE = ErrorFromErrno(EBADF);
constexpr DWORD ERROR_NEGATIVE_SEEK = ErrorFromErrno(EINVAL);
constexpr DWORD ERROR_DISK_FULL = ErrorFromErrno(ENOSPC);
constexpr DWORD ERROR_ALREADY_EXISTS = ErrorFromErrno(EEXIST);
constexpr DWORD ERROR_ACCESS_DENIED = ErrorFromErrno(EACCES);
constexpr DWORD ERROR_NOT_SUPPORTED = ErrorFromErrno(EOPNOTSUPP);
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = ErrorFromErrno(ENAMETOOLONG);

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD move_method);
DWORD GetFileSize(HANDLE handle, LPDWORD size_high);
DWORD GetFileAttributesA(LPCSTR path);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
int wsprintfA(LPSTR out, LPCSTR format, ...);

#endif
