// The C interface of libQuolProtocolHandler. Nothing may throw across it:
// every entry point catches what the C++ side could raise (out of memory)
// and answers with a status instead.
#include "protocol/quol_protocol_handler.h"

#include <memory>
#include <new>

#include "protocol/protocol_handler.h"

struct QuolProtocol {
  quol::protocol::CProtocolHandler handler;
};

extern "C" {

QuolProtocol* QuolProtocolCreate(void) {
  try {
    return std::make_unique<QuolProtocol>().release();
  } catch (...) {
    return nullptr;
  }
}

void QuolProtocolDestroy(QuolProtocol* handler) { std::unique_ptr<QuolProtocol> owned(handler); }

int32_t QuolProtocolStart(QuolProtocol* handler, const char* url, int top_level_allowed,
                          const QuolProtocolSink* sink) {
  if (handler == nullptr || url == nullptr) return QUOL_E_POINTER;
  try {
    return handler->handler.Start(url, top_level_allowed != 0, sink);
  } catch (...) {
    return QUOL_E_FAIL;
  }
}

int32_t QuolProtocolRead(QuolProtocol* handler, void* buffer, uint32_t size, uint32_t* read) {
  if (handler == nullptr) return QUOL_E_POINTER;
  return handler->handler.Read(buffer, size, read);
}

int QuolProtocolReapChildren(void) { return quol::protocol::ReapLaunchedChildren(); }

int32_t QuolProtocolIsInstalled(int16_t* installed) {
  if (installed == nullptr) return QUOL_E_POINTER;
  *installed = -1;
  return QUOL_S_OK;
}

}  // extern "C"
