/*
 * movu_mt5: client library for the movu economic-calendar and client service.
 *
 * Every export is a plain C function. Results are signed 32-bit codes: 0 is
 * success, failures are negative (MOVU_RESULT_CODES below).
 * Result buffers belong to the caller; capacities count the terminator and
 * texts that do not fit are cut silently at capacity - 1.
 *
 * UTF-16 texts are 16-bit code units on every platform: wchar_t on Windows,
 * char16_t elsewhere.
 */
#ifndef MOVU_MT5_H
#define MOVU_MT5_H

#include <stdint.h>

#ifdef _WIN32
typedef wchar_t movu_char16;
#define MOVU_CALL __stdcall
#else
#include <uchar.h>
typedef char16_t movu_char16;
#define MOVU_CALL
#endif

#ifndef MOVU_API
#define MOVU_API
#endif

/*
 * Result codes, one row per name: X(name, value, text). Values 0 to -4 are
 * shared by names of different exports (-2 is MOVU_ERR_NO_ACCOUNT for a
 * request, MOVU_ERR_NO_JOB for Movu_PollA and Movu_Cancel); an export returns
 * only the names that concern it (docs/api.md lists them per export). A
 * request also returns minus any other HTTP status it ends in, e.g. -404.
 */
#define MOVU_RESULT_CODES(X)                                                                                          \
    X(MOVU_OK, 0, "success; for Movu_PollA also \"still running\" (see its state)")                                   \
    X(MOVU_ERR_ARGUMENT, -1, "a required argument is missing or blank, or a buffer size is below 1")                  \
    X(MOVU_ERR_NO_ACCOUNT, -2, "account missing or empty (8-bit starts: also path or method missing)")                \
    X(MOVU_ERR_NO_JOB, -2, "no job with this id")                                                                     \
    X(MOVU_ERR_PROTECT, -2, "the protection service refused")                                                         \
    X(MOVU_ERR_NOT_BASE64, -2, "not valid base64")                                                                    \
    X(MOVU_ERR_OPEN_FAILED, -2, "the desktop refused to open it")                                                     \
    X(MOVU_ERR_EMPTY_ARGUMENT, -3, "path or method empty")                                                            \
    X(MOVU_ERR_ENCODE, -3, "base64 encoding failed")                                                                  \
    X(MOVU_ERR_UNPROTECT, -3, "does not unprotect: another user or machine, damaged or foreign text")                 \
    X(MOVU_ERR_THREAD, -4, "the worker thread could not be started")                                                  \
    X(MOVU_ERR_BAD_BASE_URL, -10, "bad base URL: it does not crack into http(s), host and port")                      \
    X(MOVU_ERR_SESSION, -11, "transport: the HTTP session could not be opened")                                       \
    X(MOVU_ERR_CONNECT, -12, "transport: connecting failed (nothing listening, name not resolved, connect time-out)") \
    X(MOVU_ERR_OPEN_REQUEST, -13, "transport: the request could not be opened")                                       \
    X(MOVU_ERR_SEND, -14, "transport: sending the request failed (TLS refused included)")                             \
    X(MOVU_ERR_RECEIVE, -15, "transport: no response arrived (connection dropped)")                                   \
    X(MOVU_ERR_EMPTY_TOKEN, -70, "the token endpoint answered with an empty token")                                   \
    X(MOVU_ERR_INTERNAL, -99, "internal error in the library (unexpected failure, e.g. out of memory)")               \
    X(MOVU_ERR_NO_BASE_URL, -100, "no base URL to send to")                                                           \
    X(MOVU_ERR_UNAUTHORIZED, -401, "unauthorized: HTTP 401, also after renewing the token")                           \
    X(MOVU_ERR_TOO_MANY_REQUESTS, -429, "too many requests: HTTP 429")                                                \
    X(MOVU_ERR_SERVER, -500, "server error: HTTP 500 or above")

#define MOVU_RESULT_CODE_ENUMERATOR_(name, value, text) name = value,
enum movu_result_code { MOVU_RESULT_CODES(MOVU_RESULT_CODE_ENUMERATOR_) };
#undef MOVU_RESULT_CODE_ENUMERATOR_

#ifdef __cplusplus
extern "C" {
#endif

/* Settings */
MOVU_API void MOVU_CALL Movu_SetBaseUrl(const movu_char16* url);
MOVU_API void MOVU_CALL Movu_SetBaseUrlA(const char* url);
MOVU_API void MOVU_CALL Movu_SetBaseUrls(const movu_char16* list);
MOVU_API void MOVU_CALL Movu_SetBaseUrlsA(const char* list);
MOVU_API void MOVU_CALL Movu_SetProductSecret(const movu_char16* secret);
MOVU_API void MOVU_CALL Movu_SetProductSecretA(const char* secret);
MOVU_API void MOVU_CALL Movu_SetTerminalDataPath(const movu_char16* path);
MOVU_API void MOVU_CALL Movu_SetTerminalDataPathA(const char* path);

/* Synchronous calendar requests */
MOVU_API int32_t MOVU_CALL Movu_CalendarDay(const movu_char16* account, const movu_char16* platform,
                                            const movu_char16* broker, const movu_char16* server,
                                            const movu_char16* clientVersion, const movu_char16* date, movu_char16* out,
                                            int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_CalendarDayA(const movu_char16* account, const movu_char16* platform,
                                             const movu_char16* broker, const movu_char16* server,
                                             const movu_char16* clientVersion, const movu_char16* date, char* out,
                                             int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_CalendarMeta(const movu_char16* account, const movu_char16* platform,
                                             const movu_char16* broker, const movu_char16* server,
                                             const movu_char16* clientVersion, const movu_char16* date,
                                             movu_char16* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_CalendarMetaA(const movu_char16* account, const movu_char16* platform,
                                              const movu_char16* broker, const movu_char16* server,
                                              const movu_char16* clientVersion, const movu_char16* date, char* out,
                                              int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_CalendarChanges(const movu_char16* account, const movu_char16* platform,
                                                const movu_char16* broker, const movu_char16* server,
                                                const movu_char16* clientVersion, const movu_char16* date,
                                                int64_t since, movu_char16* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_CalendarChangesA(const movu_char16* account, const movu_char16* platform,
                                                 const movu_char16* broker, const movu_char16* server,
                                                 const movu_char16* clientVersion, const movu_char16* date,
                                                 int64_t since, char* out, int32_t capacity);

/* Synchronous client status requests */
MOVU_API int32_t MOVU_CALL Movu_Heartbeat(const movu_char16* account, const movu_char16* platform,
                                          const movu_char16* broker, const movu_char16* server,
                                          const movu_char16* clientVersion, const movu_char16* payload,
                                          movu_char16* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_HeartbeatA(const movu_char16* account, const movu_char16* platform,
                                           const movu_char16* broker, const movu_char16* server,
                                           const movu_char16* clientVersion, const movu_char16* payload, char* out,
                                           int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_VipStatus(const movu_char16* account, const movu_char16* platform,
                                          const movu_char16* broker, const movu_char16* server,
                                          const movu_char16* clientVersion, movu_char16* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_VipStatusA(const movu_char16* account, const movu_char16* platform,
                                           const movu_char16* broker, const movu_char16* server,
                                           const movu_char16* clientVersion, char* out, int32_t capacity);

/* Background jobs */
MOVU_API int32_t MOVU_CALL Movu_GetAsyncSignedA(const char* account, const char* platform, const char* broker,
                                                const char* server, const char* clientVersion, const char* path,
                                                const char* query, const char* method, const char* body,
                                                int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_GetAsyncSignedW(const movu_char16* account, const movu_char16* platform,
                                                const movu_char16* broker, const movu_char16* server,
                                                const movu_char16* clientVersion, const movu_char16* path,
                                                const movu_char16* query, const movu_char16* method,
                                                const movu_char16* body, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartCalendarDayA(const char* account, const char* platform, const char* broker,
                                                  const char* server, const char* clientVersion, const char* date,
                                                  int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartCalendarDayW(const movu_char16* account, const movu_char16* platform,
                                                  const movu_char16* broker, const movu_char16* server,
                                                  const movu_char16* clientVersion, const movu_char16* date,
                                                  int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartCalendarMetaA(const char* account, const char* platform, const char* broker,
                                                   const char* server, const char* clientVersion, const char* date,
                                                   int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartCalendarMetaW(const movu_char16* account, const movu_char16* platform,
                                                   const movu_char16* broker, const movu_char16* server,
                                                   const movu_char16* clientVersion, const movu_char16* date,
                                                   int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartPingA(const char* account, const char* platform, const char* broker,
                                           const char* server, const char* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartPingW(const movu_char16* account, const movu_char16* platform,
                                           const movu_char16* broker, const movu_char16* server,
                                           const movu_char16* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartRegisterA(const char* account, const char* platform, const char* broker,
                                               const char* server, const char* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartRegisterW(const movu_char16* account, const movu_char16* platform,
                                               const movu_char16* broker, const movu_char16* server,
                                               const movu_char16* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartVipStatusA(const char* account, const char* platform, const char* broker,
                                                const char* server, const char* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_StartVipStatusW(const movu_char16* account, const movu_char16* platform,
                                                const movu_char16* broker, const movu_char16* server,
                                                const movu_char16* clientVersion, int32_t* outJobId);
MOVU_API int32_t MOVU_CALL Movu_PollA(int32_t jobId, int32_t* outState, int32_t* outHttp, char* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_Cancel(int32_t jobId);

/* Desktop utilities */
MOVU_API int32_t MOVU_CALL Movu_ProtectTextW(const movu_char16* text, char* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_UnprotectTextW(const movu_char16* text, char* out, int32_t capacity);
MOVU_API int32_t MOVU_CALL Movu_OpenUrl(const movu_char16* url);

#ifdef __cplusplus
}
#endif

#endif /* MOVU_MT5_H */
