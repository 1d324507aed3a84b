// The Win32 and WinINet subset the library is written against. On Windows
// this is the real <windows.h>/<wininet.h>; elsewhere the same names and
// types are provided by src/platform/posix on POSIX threads and libcurl, so
// the library's own code reads the same on both.
#ifndef NALPOICOMM_PLATFORM_WIN32_API_H
#define NALPOICOMM_PLATFORM_WIN32_API_H

#if defined(_WIN32)

#include <windows.h>
#include <wininet.h>

#define PLATFORM_WIDE(literal) L"" literal
#define PLATFORM_PATH_SEPARATOR "\\"

#else  // POSIX

#include <cstddef>
#include <cstdint>

#define PLATFORM_WIDE(literal) u"" literal
#define PLATFORM_PATH_SEPARATOR "/"

#define WINAPI

typedef uint32_t DWORD;  // 32 bits as on Windows; unsigned long is 64 on LP64
typedef uint16_t WORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef char16_t WCHAR;  // one UTF-16 code unit; wchar_t is 4 bytes here
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef std::size_t SIZE_T;
typedef std::uintptr_t DWORD_PTR;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HINTERNET;
typedef WORD INTERNET_PORT;
typedef struct SECURITY_ATTRIBUTES_* LPSECURITY_ATTRIBUTES;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

#define TRUE 1
#define FALSE 0

// Threads and waits.
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Code pages: the ANSI code page of this platform is UTF-8.
#define CP_ACP 0u

// Error codes, with Windows' values.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_INTERNET_INTERNAL_ERROR 12004u
#define ERROR_INTERNET_INVALID_URL 12005u
#define ERROR_INTERNET_UNRECOGNIZED_SCHEME 12006u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_OPERATION_CANCELLED 12017u
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018u
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_INTERNET_CONNECTION_ABORTED 12030u
#define ERROR_INTERNET_CONNECTION_RESET 12031u
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037u
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038u
#define ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR 12040u
#define ERROR_INTERNET_INVALID_CA 12045u
#define ERROR_HTTP_HEADER_NOT_FOUND 12150u
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152u
#define ERROR_HTTP_INVALID_HEADER 12153u
#define ERROR_HTTP_REDIRECT_FAILED 12156u
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157u

// WinINet constants.
#define INTERNET_OPEN_TYPE_PRECONFIG 0u
#define INTERNET_SERVICE_HTTP 3u
#define INTERNET_INVALID_PORT_NUMBER 0
#define INTERNET_DEFAULT_FTP_PORT 21
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u
#define HTTP_QUERY_CONTENT_LENGTH 5u
#define HTTP_QUERY_STATUS_CODE 19u
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u

typedef enum {
    INTERNET_SCHEME_PARTIAL = -2,
    INTERNET_SCHEME_UNKNOWN = -1,
    INTERNET_SCHEME_DEFAULT = 0,
    INTERNET_SCHEME_FTP,
    INTERNET_SCHEME_GOPHER,
    INTERNET_SCHEME_HTTP,
    INTERNET_SCHEME_HTTPS,
} INTERNET_SCHEME;

// Windows' layout: 60 bytes with 4-byte pointers, 104 with 8-byte pointers.
typedef struct {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTSW;
typedef URL_COMPONENTSW URL_COMPONENTS;

// Windows' layout: 40 bytes with 4-byte pointers, 56 with 8-byte pointers.
typedef struct INTERNET_BUFFERSW_ {
    DWORD dwStructSize;
    struct INTERNET_BUFFERSW_* Next;
    LPCWSTR lpcszHeader;
    DWORD dwHeadersLength;
    DWORD dwHeadersTotal;
    LPVOID lpvBuffer;
    DWORD dwBufferLength;
    DWORD dwBufferTotal;
    DWORD dwOffsetLow;
    DWORD dwOffsetHigh;
} INTERNET_BUFFERSW;
typedef INTERNET_BUFFERSW INTERNET_BUFFERS;

// Per-thread last error.
DWORD GetLastError();
void SetLastError(DWORD error);

// Full path of the calling process's executable (module must be null).
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// UTF-8 <-> UTF-16 for CP_ACP; ill-formed input becomes U+FFFD, as Windows
// does without MB_ERR_INVALID_CHARS.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar);

// Threads: the handle is waitable until it is closed.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// WinINet, synchronous use only.
HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass,
                        DWORD flags);
BOOL InternetCrackUrlW(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTSW* components);
HINTERNET InternetConnectW(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                           LPCWSTR userName, LPCWSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context);
HINTERNET HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                           LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes,
                           DWORD flags, DWORD_PTR context);
BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffersIn,
                        INTERNET_BUFFERSW* buffersOut, DWORD flags, DWORD_PTR context);
BOOL InternetWriteFile(HINTERNET file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                       LPDWORD numberOfBytesWritten);
BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW* buffersOut, DWORD flags,
                     DWORD_PTR context);
BOOL HttpQueryInfoW(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD index);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead);
BOOL InternetCloseHandle(HINTERNET handle);
// The account of the calling thread's last failed request, in words (the
// transfer's own error text); empty when there is none.
BOOL InternetGetLastResponseInfoW(LPDWORD error, LPWSTR buffer, LPDWORD bufferLength);

#endif  // _WIN32

#endif  // NALPOICOMM_PLATFORM_WIN32_API_H
