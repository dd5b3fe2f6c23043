/*
 * movu_mt5: client library for the movu economic-calendar and client service.
 *
 * Every export is a plain C function. Results are signed 32-bit codes: 0 is
 * success, failures are small negative numbers (see docs/ for the table).
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
