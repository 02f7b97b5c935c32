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
#include <winternl.h>

// The native calls that work relative to an open folder: the output folder
// is opened once, and every output in it is made, looked at, renamed and
// removed through the folder's own handle, so that no path to it is walked
// again after the opening. KERNEL32 takes only paths for most of these, and
// the compilers' import libraries need not carry NTDLL's names, so they are
// found in NTDLL at run time.
using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE file, ACCESS_MASK access,
                                          POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK status,
                                          PLARGE_INTEGER allocation, ULONG file_attributes,
                                          ULONG share, ULONG disposition, ULONG options,
                                          PVOID extended_attributes, ULONG extended_length);
using NtQueryInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, PIO_STATUS_BLOCK status,
                                                    PVOID information, ULONG length,
                                                    FILE_INFORMATION_CLASS information_class);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, PIO_STATUS_BLOCK status,
                                                  PVOID information, ULONG length,
                                                  FILE_INFORMATION_CLASS information_class);
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE folder, HANDLE event, PVOID apc_routine,
                                                  PVOID apc_context, PIO_STATUS_BLOCK status,
                                                  PVOID information, ULONG length,
                                                  FILE_INFORMATION_CLASS information_class,
                                                  BOOLEAN single_entry, PUNICODE_STRING file_name,
                                                  BOOLEAN restart_scan);
using NtQueryVolumeInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, PIO_STATUS_BLOCK status,
                                                          PVOID information, ULONG length,
                                                          FS_INFORMATION_CLASS information_class);
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS status);

struct NativeFileCalls {
  NtCreateFileCall create_file;
  NtQueryInformationFileCall query_information_file;
  NtSetInformationFileCall set_information_file;
  NtQueryDirectoryFileCall query_directory_file;
  NtQueryVolumeInformationFileCall query_volume_information_file;
  RtlNtStatusToDosErrorCall status_to_error;
};

// NTDLL's calls, found at the first call; nullptr (with the reason in
// *error) where one of them is missing.
const NativeFileCalls* NativeCalls(DWORD* error);

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
