#include "OrvaneCore/signaling/websocket/WebSocketTransport.h"

namespace orvane {

TransportError::TransportError(Code code)
    : std::runtime_error([code] {
        switch (code) {
          case Code::timedOut: return "The request timed out.";
          case Code::networkConnectionLost: return "The network connection was lost.";
          case Code::badServerResponse: return "The server returned a bad response: there is no WebSocket connection.";
        }
        return "WebSocket transport error";
      }()),
      code_(code) {}

}  // namespace orvane
