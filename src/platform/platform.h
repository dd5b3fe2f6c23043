// The services the core asks of the operating system. One implementation per
// OS lives beside this header (win/, posix/); the core includes nothing else
// of the OS.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace movu::platform {

// ---- text -------------------------------------------------------------------
// UTF-8 <-> UTF-16 as code page 65001 converts with no flags: malformed input
// becomes U+FFFD, never an error.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// True when n bytes at p can be read without a fault.
bool IsReadable(const void* p, std::size_t n);

// ---- one HTTP exchange ---------------------------------------------------------
enum class ExchangeStep {
    Done,         // a response arrived (any status)
    Session,      // the HTTP session could not be opened
    Connect,      // connecting failed
    OpenRequest,  // the request could not be opened
    Send,         // sending failed
    Receive,      // no response arrived
};

// How long each part of an exchange may take, in milliseconds; 0 is no
// limit. The defaults are the Windows HTTP stack's documented defaults, and
// both platforms use them (docs/troubleshooting.md has the table).
struct ExchangeLimits {
    std::uint32_t resolveMs = 0;      // name resolution: unlimited
    std::uint32_t connectMs = 60000;  // the connection standing
    std::uint32_t sendMs = 30000;     // each send, the TLS handshake included
    std::uint32_t receiveMs = 30000;  // each receive: a silent peer
    std::uint32_t headMs = 90000;     // the whole head of the answer
};

struct HeaderField {
    std::string name;   // an HTTP token
    std::string value;  // UTF-8, no control characters; empty is sent as an empty header
};

// Everything one exchange needs, as data: no settings are read below here.
struct ExchangeRequest {
    bool secure = true;
    std::string host;  // UTF-8, as cracked from the base URL
    std::uint16_t port = 443;
    std::string pinAddress;  // when set: connect there, keep the host name for Host, SNI and the certificate
    ExchangeLimits limits;
    std::string method;
    std::string target;                // path and query, UTF-8
    std::vector<HeaderField> headers;  // sent in this order, each name once
    std::string body;
};

struct ExchangeReply {
    ExchangeStep step = ExchangeStep::Done;
    std::uint32_t errorCode = 0;  // the stack's own error number for the failed step
    std::uint32_t status = 0;     // 0 when unreadable
    std::string body;             // the body as received when step == Done
};

// Opens, uses and closes its own session, connection and request. The method
// is an HTTP token and the target fit for the request line, as given.
ExchangeReply PerformExchange(const ExchangeRequest& request);
// The stack's own error number for a request it was given wrong.
std::uint32_t InvalidArgumentError();

// ---- protection, hashing, encoding --------------------------------------------
// User-bound protection; description and entropy are bound to the blob.
bool ProtectBytes(std::string_view plain, std::string_view description, std::string_view entropy, std::string& blob);
bool UnprotectBytes(std::string_view blob, std::string_view entropy, std::string& plain);

bool Base64Encode(std::string_view bytes, std::string& text);  // no line breaks
bool Base64Decode(std::string_view text, std::string& bytes);  // strict
bool Sha256(std::string_view bytes, unsigned char digest[32]);
// Overwrites a secret's bytes so that no copy outlives its use, then empties it.
void WipeSecret(std::string& secret);
void WipeSecret(std::u16string& secret);

// ---- files ----------------------------------------------------------------------
// Paths are UTF-8. Creates every missing level; errors are ignored.
void CreateDirectories(const std::string& path);
// Opens in binary mode: for reading, or for writing with create-or-truncate.
// Null when it cannot be opened.
std::FILE* OpenFile(const std::string& path, bool forWriting);
// The separator the OS puts between path pieces.
char PathSeparator();

// ---- desktop ----------------------------------------------------------------------
// Hands the UTF-8 text to the desktop's default handler; true when it was accepted.
bool OpenWithDefaultHandler(const std::string& target);

// ---- time and threads ---------------------------------------------------------------
// System clock in whole seconds since 1970-01-01T00:00:00Z.
std::int64_t NowUnixSeconds();

// Starts a detached thread that keeps the library mapped until it ends.
// False when the thread could not be started (fn is then not run).
bool StartDetachedThread(std::function<void()> fn);

// ---- the library's end ----------------------------------------------------------------
// Whether the library's process-wide records may be destroyed now, from its
// static destructors. Only when the library itself is unloaded (Windows: a
// FreeLibrary that unmaps it). Never while the process exits: other threads
// were stopped wherever they stood (Windows) or still run (POSIX, where the
// library is never unloaded and its destructors run only at exit).
bool RecordsMayBeDestroyed();
#ifdef _WIN32
// DllMain's news: the library was loaded as a DLL (process attach), or the
// process is exiting (process detach with the reserved argument set). Linked
// into a program instead, the records are never destroyed: its destructors
// run only from exit(), beside running workers.
void NoteDllAttach();
void NoteProcessExit();
#endif

}  // namespace movu::platform
