/* libQuolProtocolHandler: answers quol:// URLs for a browser host.
 *
 * A host (the desktop client's WebKitGTK, or the quol-url launcher that other
 * browsers reach through the x-scheme-handler/quol desktop entry) makes one
 * handler per request or reuses one for request after request:
 *
 *   QuolProtocol* p = QuolProtocolCreate();
 *   if (QuolProtocolStart(p, url, top_level_allowed, &sink) == QUOL_S_OK) {
 *     while (QuolProtocolRead(p, buf, sizeof buf, &n) == QUOL_S_OK) deliver(buf, n);
 *   } else {
 *     fail the request (not handled)
 *   }
 *   QuolProtocolDestroy(p);
 *
 * Start performs the URL's action at once (it starts the desktop client or
 * the screen saver, never through a shell), then the answer, a 43-byte GIF
 * of one white pixel ("image/gif", status 200), is read out, so a page can
 * fire such a URL as an image source. The handler has no log and never
 * retries a launch.
 *
 * Plain C so any host can dlopen it; only the Quol* names are exported.
 * Threads: one handler is used by one thread at a time; different handlers
 * may run on different threads.
 */
#ifndef QUOL_PROTOCOL_HANDLER_H_
#define QUOL_PROTOCOL_HANDLER_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUOL_PROTOCOL_EXPORT __attribute__((visibility("default")))
#else
#define QUOL_PROTOCOL_EXPORT
#endif

/* Status codes (the suite's HRESULT values). */
#define QUOL_S_OK ((int32_t)0)
#define QUOL_S_FALSE ((int32_t)1)
#define QUOL_E_NOTIMPL ((int32_t)0x80004001u)
#define QUOL_E_POINTER ((int32_t)0x80004003u)
#define QUOL_E_FAIL ((int32_t)0x80004005u)
#define QUOL_E_UNEXPECTED ((int32_t)0x8000FFFFu)

/* report_data flags. */
#define QUOL_BSCF_FIRSTDATANOTIFICATION 0x1u
#define QUOL_BSCF_DATAFULLYAVAILABLE 0x8u
/* report_progress status codes. */
#define QUOL_BINDSTATUS_MIMETYPEAVAILABLE 13u
#define QUOL_BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE 22u

/* The answer's bytes and type. */
#define QUOL_PROTOCOL_IMAGE_BYTES 43u
#define QUOL_PROTOCOL_MIME_TYPE "image/gif"

/* URLs longer than this, or holding control characters, are not handled. */
#define QUOL_PROTOCOL_MAX_URL_BYTES 8192u

/* What the handler tells its host about a request; every pointer may be
 * null. Called on the thread that calls Start / Read, before they return.
 * report_result's text is null (the result has no text). */
typedef struct QuolProtocolSink {
  void* context;
  void (*report_data)(void* context, uint32_t flags, uint32_t progress, uint32_t progress_max);
  void (*report_progress)(void* context, uint32_t status_code, const char* text);
  void (*report_result)(void* context, int32_t result, uint32_t http_status, const char* text);
} QuolProtocolSink;

typedef struct QuolProtocol QuolProtocol;

/* A new handler (null only when out of memory). */
QUOL_PROTOCOL_EXPORT QuolProtocol* QuolProtocolCreate(void);
QUOL_PROTOCOL_EXPORT void QuolProtocolDestroy(QuolProtocol* handler);

/* Resets the delivered count, keeps `sink` (copied; may be null) and
 * dispatches `url`. `top_level_allowed` is the host's judgement of the page
 * asking (0: the URL policy refuses the top-level page, so nothing is done
 * and the URL is not handled). QUOL_S_OK when handled (the data has been
 * reported to the sink), QUOL_E_FAIL when not handled or the launch failed.
 * A request for an action whose previously started process still runs
 * starts nothing and counts as handled. */
QUOL_PROTOCOL_EXPORT int32_t QuolProtocolStart(QuolProtocol* handler, const char* url,
                                               int top_level_allowed, const QuolProtocolSink* sink);

/* Copies up to `size` bytes of the image into `buffer`: QUOL_S_OK with the
 * count in `*read`; a request for 0 bytes before the end is
 * QUOL_E_UNEXPECTED. At the end, reports the verified MIME type and the
 * result (QUOL_S_OK, status 200) to the sink and returns QUOL_S_FALSE with
 * `*read` = 0. */
QUOL_PROTOCOL_EXPORT int32_t QuolProtocolRead(QuolProtocol* handler, void* buffer, uint32_t size,
                                              uint32_t* read);

/* Collects the processes this library started that have ended, without
 * waiting. Returns how many still run. A long-running host calls it now
 * and then (Start does too), so no ended child stays a zombie. */
QUOL_PROTOCOL_EXPORT int QuolProtocolReapChildren(void);

/* The installed check: sets *installed to -1 (true) and returns QUOL_S_OK.
 * That the library loads and answers is what tells a page the software is
 * installed. */
QUOL_PROTOCOL_EXPORT int32_t QuolProtocolIsInstalled(int16_t* installed);

#ifdef __cplusplus
}
#endif

#endif /* QUOL_PROTOCOL_HANDLER_H_ */
