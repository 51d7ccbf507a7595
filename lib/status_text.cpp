// Status descriptions. A switch rather than a table: with every case spelled out, adding a code
// without its text is easy to spot in review, and the compiler folds it into a jump table.
#include "status_text.h"

namespace kobrant::visa {

const char* status_text(ViStatus status) {
  switch (status) {
    case VI_SUCCESS: return "Operation completed successfully.";
    case VI_SUCCESS_TERM_CHAR: return "The read ended on the termination character.";
    case VI_SUCCESS_MAX_CNT: return "The read filled the requested count; more data may follow.";
    case VI_SUCCESS_EVENT_EN: return "The event was already enabled.";
    case VI_SUCCESS_EVENT_DIS: return "The event was already disabled.";
    case VI_SUCCESS_QUEUE_EMPTY: return "The event queue was empty.";
    case VI_WARN_CONFIG_NLOADED: return "The specified configuration could not be loaded.";
    case VI_SUCCESS_DEV_NPRESENT: return "Session opened, but the device is not responding.";
    case VI_WARN_NULL_OBJECT: return "The object reference is VI_NULL; nothing was done.";
    case VI_WARN_NSUP_ATTR_STATE: return "The attribute value is valid but not supported here.";
    case VI_WARN_UNKNOWN_STATUS: return "The status code is not known to this library.";
    case VI_ERROR_SYSTEM_ERROR: return "Unknown system error (miscellaneous error).";
    case VI_ERROR_INV_OBJECT: return "The given session or object reference is invalid.";
    case VI_ERROR_RSRC_LOCKED: return "The resource is locked by another session.";
    case VI_ERROR_INV_EXPR: return "Invalid resource search expression.";
    case VI_ERROR_RSRC_NFOUND: return "Insufficient location information, or the resource is not present.";
    case VI_ERROR_INV_RSRC_NAME: return "Invalid resource name: it does not follow the VISA resource grammar.";
    case VI_ERROR_INV_ACC_MODE: return "Invalid access mode.";
    case VI_ERROR_TMO: return "Timeout expired before the operation completed.";
    case VI_ERROR_CLOSING_FAILED: return "Unable to deallocate the session data structures.";
    case VI_ERROR_NSUP_ATTR: return "The attribute is not supported by this resource.";
    case VI_ERROR_NSUP_ATTR_STATE: return "The attribute value is not supported by this resource.";
    case VI_ERROR_ATTR_READONLY: return "The attribute is read-only.";
    case VI_ERROR_ABORT: return "The operation was aborted: a signal interrupted it, or the device gave it up.";
    case VI_ERROR_RAW_WR_PROT_VIOL: return "Protocol violation while writing: the peer's reply was malformed.";
    case VI_ERROR_RAW_RD_PROT_VIOL: return "Protocol violation while reading: the peer's message was malformed.";
    case VI_ERROR_OUTP_PROT_VIOL: return "The device reported an output protocol error.";
    case VI_ERROR_INP_PROT_VIOL: return "The device reported an input protocol error.";
    case VI_ERROR_INV_SETUP: return "Unable to start the operation because the setup is invalid.";
    case VI_ERROR_ALLOC: return "Insufficient system resources (memory) to perform the operation.";
    case VI_ERROR_IO: return "An unknown I/O error occurred during the transfer.";
    case VI_ERROR_NSUP_OPER: return "The operation is not supported by this resource, or this build has no transport for its class.";
    case VI_ERROR_ASRL_PARITY: return "A parity error occurred during the serial transfer.";
    case VI_ERROR_ASRL_FRAMING: return "A framing error occurred during the serial transfer.";
    case VI_ERROR_ASRL_OVERRUN: return "An overrun error occurred during the serial transfer.";
    case VI_ERROR_RSRC_BUSY: return "The resource is valid but cannot be accessed now (busy).";
    case VI_ERROR_INV_PARAMETER: return "A parameter value is invalid.";
    case VI_ERROR_INV_PROT: return "The protocol specified is invalid.";
    case VI_ERROR_NIMPL_OPER: return "The operation is not implemented.";
    case VI_ERROR_INV_LENGTH: return "Invalid length.";
    case VI_ERROR_SESN_NLOCKED: return "The session does not hold a lock on the resource.";
    case VI_ERROR_LIBRARY_NFOUND: return "A library or driver required by the operation could not be found.";
    case VI_ERROR_INTF_NUM_NCONFIG: return "The interface number is not configured.";
    case VI_ERROR_CONN_LOST: return "The connection to the device was lost.";
    case VI_ERROR_NPERMISSION: return "Access to the resource was denied (no permission).";
    default: return nullptr;
  }
}

std::string describe_status(ViStatus status) {
  if (const char* text = status_text(status)) return text;
  return (status < 0 ? "Unknown error status " : "Unknown completion status ") + std::to_string(status) + ".";
}

std::string describe_status(ViStatus status, std::string_view detail, std::size_t max_len) {
  std::string text = describe_status(status);
  // The detail is what the user acts on; the generic text before it is what gets cut.
  if (!detail.empty()) {
    text += " (";
    text += detail;
    text += ')';
  }
  if (text.size() > max_len) text.resize(max_len);
  return text;
}

}  // namespace kobrant::visa
