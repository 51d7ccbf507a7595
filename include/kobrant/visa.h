/* The VISA C API as kobrant calls it: types, constants and the operations' prototypes,
 * written from the standard's published values. Any library that implements the VISA C API
 * answers these calls.
 *
 * Conventions shared by every call:
 *  - A ViStatus below zero is an error, zero is plain success, above zero is success with a
 *    completion note (VI_SUCCESS_MAX_CNT, VI_SUCCESS_TERM_CHAR, ...).
 *  - Sessions and find lists are ViUInt32 handles; VI_NULL (0) never names an open object.
 *  - The caller owns every buffer it passes; the library never keeps a pointer to one.
 */
#ifndef KOBRANT_VISA_H
#define KOBRANT_VISA_H

#include <stdint.h>

/* The calling convention of every VISA operation: the standard one (__stdcall) on 32-bit
 * Windows, where vendor libraries export their functions with it; the platform's default
 * elsewhere (64-bit Windows has only one). A caller holding a pointer to an operation declares
 * it with _VI_FUNC too. */
#ifndef _VI_FUNC
#if defined(_WIN32) && !defined(_WIN64)
#define _VI_FUNC __stdcall
#else
#define _VI_FUNC
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types ---------------------------------------------------------------------------- */

typedef uint32_t ViUInt32;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;
typedef int16_t ViInt16;
typedef uint8_t ViUInt8;
typedef int8_t ViInt8;
typedef uint64_t ViUInt64;
typedef int64_t ViInt64;
typedef char ViChar;
typedef unsigned char ViByte;
typedef ViByte* ViBuf;
typedef const ViByte* ViConstBuf;
typedef ViUInt32* ViPUInt32;
typedef ViUInt16* ViPUInt16;
typedef ViUInt16 ViBoolean;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViObject ViFindList;
typedef ViFindList* ViPFindList;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViAccessMode;
typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViString ViRsrc;
typedef ViConstString ViConstRsrc;
typedef ViChar* ViPChar;
typedef void* ViAddr;
typedef ViUInt32 ViEventType;
typedef ViEventType* ViPEventType;
typedef ViUInt16 ViEventFilter;
typedef ViObject ViEvent;
typedef ViEvent* ViPEvent;
typedef ViChar* ViKeyId;
typedef const ViChar* ViConstKeyId;
/* Wide enough for any attribute value; 64 bits on 64-bit platforms as the standard's
 * textual-language binding gives it. */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif

/* ---- Constants ------------------------------------------------------------------------ */

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0
#define VI_FIND_BUFLEN 256
#define VI_TMO_IMMEDIATE 0u
#define VI_TMO_INFINITE 0xFFFFFFFFu
#define VI_NO_LOCK 0u
#define VI_EXCLUSIVE_LOCK 1u
#define VI_SHARED_LOCK 2u
#define VI_LOAD_CONFIG 4u

#define VI_INTF_GPIB 1
#define VI_INTF_VXI 2
#define VI_INTF_GPIB_VXI 3
#define VI_INTF_ASRL 4
#define VI_INTF_PXI 5
#define VI_INTF_TCPIP 6
#define VI_INTF_USB 7

/* viAssertTrigger protocols */
#define VI_TRIG_PROT_DEFAULT 0

/* viFlush masks */
#define VI_READ_BUF 1u
#define VI_WRITE_BUF 2u
#define VI_READ_BUF_DISCARD 4u
#define VI_WRITE_BUF_DISCARD 8u
#define VI_IO_IN_BUF 16u
#define VI_IO_OUT_BUF 32u
#define VI_IO_IN_BUF_DISCARD 64u
#define VI_IO_OUT_BUF_DISCARD 128u

/* ---- Completion codes (success, possibly with a note) ---------------------------------- */

#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006)
#define VI_SUCCESS_EVENT_EN ((ViStatus)0x3FFF0002)
#define VI_SUCCESS_EVENT_DIS ((ViStatus)0x3FFF0003)
#define VI_SUCCESS_QUEUE_EMPTY ((ViStatus)0x3FFF0004)
#define VI_WARN_CONFIG_NLOADED ((ViStatus)0x3FFF0077)
#define VI_SUCCESS_DEV_NPRESENT ((ViStatus)0x3FFF007D)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082)
#define VI_WARN_NSUP_ATTR_STATE ((ViStatus)0x3FFF0084)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085)

/* ---- Error codes (negative as ViStatus) ------------------------------------------------ */

#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000E)
#define VI_ERROR_INV_SESSION VI_ERROR_INV_OBJECT
#define VI_ERROR_RSRC_LOCKED ((ViStatus)0xBFFF000F)
#define VI_ERROR_INV_EXPR ((ViStatus)0xBFFF0010)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012)
#define VI_ERROR_INV_ACC_MODE ((ViStatus)0xBFFF0013)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015)
#define VI_ERROR_CLOSING_FAILED ((ViStatus)0xBFFF0016)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001D)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001E)
#define VI_ERROR_ATTR_READONLY ((ViStatus)0xBFFF001F)
#define VI_ERROR_ABORT ((ViStatus)0xBFFF0030)
#define VI_ERROR_RAW_WR_PROT_VIOL ((ViStatus)0xBFFF0034)
#define VI_ERROR_RAW_RD_PROT_VIOL ((ViStatus)0xBFFF0035)
#define VI_ERROR_OUTP_PROT_VIOL ((ViStatus)0xBFFF0036)
#define VI_ERROR_INP_PROT_VIOL ((ViStatus)0xBFFF0037)
#define VI_ERROR_INV_SETUP ((ViStatus)0xBFFF003A)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003C)
#define VI_ERROR_IO ((ViStatus)0xBFFF003E)
#define VI_ERROR_NSUP_OPER ((ViStatus)0xBFFF0067)
#define VI_ERROR_ASRL_PARITY ((ViStatus)0xBFFF006A)
#define VI_ERROR_ASRL_FRAMING ((ViStatus)0xBFFF006B)
#define VI_ERROR_ASRL_OVERRUN ((ViStatus)0xBFFF006C)
#define VI_ERROR_RSRC_BUSY ((ViStatus)0xBFFF0072)
#define VI_ERROR_INV_PARAMETER ((ViStatus)0xBFFF0078)
#define VI_ERROR_INV_PROT ((ViStatus)0xBFFF0079)
#define VI_ERROR_NIMPL_OPER ((ViStatus)0xBFFF0081)
#define VI_ERROR_INV_LENGTH ((ViStatus)0xBFFF0083)
#define VI_ERROR_SESN_NLOCKED ((ViStatus)0xBFFF009C)
#define VI_ERROR_LIBRARY_NFOUND ((ViStatus)0xBFFF009E)
#define VI_ERROR_INTF_NUM_NCONFIG ((ViStatus)0xBFFF00A5)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6)
#define VI_ERROR_NPERMISSION ((ViStatus)0xBFFF00A8)

/* ---- Attributes ------------------------------------------------------------------------ */

#define VI_ATTR_RSRC_CLASS 0xBFFF0001u
#define VI_ATTR_RSRC_NAME 0xBFFF0002u
#define VI_ATTR_RSRC_LOCK_STATE 0x3FFF0004u
#define VI_ATTR_INTF_TYPE 0x3FFF0171u
#define VI_ATTR_INTF_NUM 0x3FFF0176u
#define VI_ATTR_TMO_VALUE 0x3FFF001Au
#define VI_ATTR_SEND_END_EN 0x3FFF0016u
#define VI_ATTR_TERMCHAR 0x3FFF0018u
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038u
#define VI_ATTR_SUPPRESS_END_EN 0x3FFF0036u
#define VI_ATTR_IO_PROT 0x3FFF001Cu
#define VI_ATTR_TCPIP_ADDR 0xBFFF0195u
#define VI_ATTR_TCPIP_HOSTNAME 0xBFFF0196u
#define VI_ATTR_TCPIP_PORT 0x3FFF0197u
#define VI_ATTR_TCPIP_DEVICE_NAME 0xBFFF0199u
#define VI_ATTR_TCPIP_NODELAY 0x3FFF019Au
#define VI_ATTR_TCPIP_KEEPALIVE 0x3FFF019Bu
#define VI_ATTR_MANF_ID 0x3FFF00D9u
#define VI_ATTR_MODEL_CODE 0x3FFF00DFu
#define VI_ATTR_USB_SERIAL_NUM 0xBFFF01A0u
#define VI_ATTR_USB_INTFC_NUM 0x3FFF01A1u
#define VI_ATTR_USB_PROTOCOL 0x3FFF01A7u
#define VI_ATTR_4882_COMPLIANT 0x3FFF019Fu
#define VI_ATTR_ASRL_BAUD 0x3FFF0021u
#define VI_ATTR_ASRL_DATA_BITS 0x3FFF0022u
#define VI_ATTR_ASRL_PARITY 0x3FFF0023u
#define VI_ATTR_ASRL_STOP_BITS 0x3FFF0024u
#define VI_ATTR_ASRL_FLOW_CNTRL 0x3FFF0025u
#define VI_ATTR_ASRL_AVAIL_NUM 0x3FFF00ACu
#define VI_ATTR_ASRL_CTS_STATE 0x3FFF00AEu
#define VI_ATTR_ASRL_DCD_STATE 0x3FFF00AFu
#define VI_ATTR_ASRL_DSR_STATE 0x3FFF00B1u
#define VI_ATTR_ASRL_DTR_STATE 0x3FFF00B2u
#define VI_ATTR_ASRL_RI_STATE 0x3FFF00BFu
#define VI_ATTR_ASRL_RTS_STATE 0x3FFF00C0u
#define VI_ATTR_ASRL_XON_CHAR 0x3FFF00C1u
#define VI_ATTR_ASRL_XOFF_CHAR 0x3FFF00C2u

#define VI_ASRL_PAR_NONE 0
#define VI_ASRL_PAR_ODD 1
#define VI_ASRL_PAR_EVEN 2
#define VI_ASRL_PAR_MARK 3
#define VI_ASRL_PAR_SPACE 4
#define VI_ASRL_STOP_ONE 10
#define VI_ASRL_STOP_ONE5 15
#define VI_ASRL_STOP_TWO 20
#define VI_ASRL_FLOW_NONE 0
#define VI_ASRL_FLOW_XON_XOFF 1
#define VI_ASRL_FLOW_RTS_CTS 2
#define VI_ASRL_FLOW_DTR_DSR 4
#define VI_STATE_ASSERTED 1
#define VI_STATE_UNASSERTED 0
#define VI_STATE_UNKNOWN (-1)

/* ---- Operations ------------------------------------------------------------------------ */

/* Opens a session to the default resource manager into *vi. Every call gives a new manager
 * session; closing it closes everything opened through it. */
ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi);

/* Searches for resources whose name matches expr ("?*" = everything). On success *vi is a
 * find list (close it with viClose, or close the manager), *retCnt the number of matches and
 * desc (at least VI_FIND_BUFLEN bytes) the first name. No match: VI_ERROR_RSRC_NFOUND;
 * malformed expression: VI_ERROR_INV_EXPR. */
ViStatus _VI_FUNC viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt,
                             ViChar desc[]);

/* Copies the next name of a find list into desc (VI_FIND_BUFLEN bytes); past the last one,
 * VI_ERROR_RSRC_NFOUND. */
ViStatus _VI_FUNC viFindNext(ViFindList vi, ViChar desc[]);

/* Opens a session to the resource named rsrcName through manager sesn. accessMode VI_NULL
 * (no lock). openTimeout (ms) bounds connecting and the protocol's handshake; 0 means the
 * library's default bound. Errors: VI_ERROR_INV_RSRC_NAME (malformed name),
 * VI_ERROR_RSRC_NFOUND (nothing answers there), VI_ERROR_TMO, VI_ERROR_NSUP_OPER (a class
 * this build cannot serve). */
ViStatus _VI_FUNC viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                         ViUInt32 openTimeout, ViPSession vi);

/* Closes a session, a find list or a manager (and with a manager, all it opened).
 * VI_NULL gives VI_WARN_NULL_OBJECT. */
ViStatus _VI_FUNC viClose(ViObject vi);

/* Sets or reads one attribute. Unknown attribute for the session: VI_ERROR_NSUP_ATTR; value
 * out of range: VI_ERROR_NSUP_ATTR_STATE; read-only: VI_ERROR_ATTR_READONLY. viGetAttribute
 * writes the value in the attribute's own type (ViUInt32, ViUInt16, ViUInt8, or a string of
 * up to 256 bytes) to attrState. */
ViStatus _VI_FUNC viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
ViStatus _VI_FUNC viGetAttribute(ViObject vi, ViAttr attrName, void* attrState);

/* Writes count bytes; with VI_ATTR_SEND_END_EN true the last one carries END. *retCount (may
 * be VI_NULL) receives the bytes handed over, also when the write fails part-way. */
ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 retCount);

/* Reads up to count bytes into buf. VI_SUCCESS: END ended the response; VI_SUCCESS_TERM_CHAR:
 * the termination character did; VI_SUCCESS_MAX_CNT: count bytes arrived and more of the
 * response may follow. On an error (VI_ERROR_TMO, VI_ERROR_CONN_LOST, ...) *retCount still
 * tells how many bytes arrived before it. */
ViStatus _VI_FUNC viRead(ViSession vi, ViBuf buf, ViUInt32 count, ViPUInt32 retCount);

/* Device clear: the session drops the input it holds and, where the protocol has a device
 * clear, the instrument drops its pending input and output. VI_ERROR_TMO when the clear does
 * not complete within the session's timeout. */
ViStatus _VI_FUNC viClear(ViSession vi);

/* Empties the session's buffers as mask says (VI_READ_BUF..., VI_IO_IN_BUF_DISCARD, ...): with
 * an input mask, input received but not yet read is dropped. */
ViStatus _VI_FUNC viFlush(ViSession vi, ViUInt16 mask);

/* Reads the instrument's status byte (service request polling) into *status, the protocol's
 * way. VI_ERROR_NSUP_OPER where the protocol has no status byte. */
ViStatus _VI_FUNC viReadSTB(ViSession vi, ViPUInt16 status);

/* Sends a trigger the protocol's way, with the given VI_TRIG_PROT_* protocol. A protocol the
 * session cannot use: VI_ERROR_INV_PROT; a session with no trigger: VI_ERROR_NSUP_OPER. */
ViStatus _VI_FUNC viAssertTrigger(ViSession vi, ViUInt16 protocol);

/* Events and locks. A library that does not offer them answers VI_ERROR_NSUP_OPER to enabling
 * or waiting for an event and to taking a lock. */
ViStatus _VI_FUNC viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context);
ViStatus _VI_FUNC viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus _VI_FUNC viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus _VI_FUNC viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout,
                                ViPEventType outEventType, ViPEvent outContext);
ViStatus _VI_FUNC viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, ViConstKeyId requestedKey,
                         ViChar accessKey[]);
ViStatus _VI_FUNC viUnlock(ViSession vi);

/* Parses a resource name without opening it: interface type (VI_INTF_*) and board number; the
 * extended form also gives the class ("INSTR", "SOCKET", ...), the canonical name and the alias
 * (empty when the name is none). Text buffers are VI_FIND_BUFLEN bytes. A name outside the
 * grammar, or one whose canonical form would not fit VI_FIND_BUFLEN bytes with its terminating
 * zero, is VI_ERROR_INV_RSRC_NAME (viOpen refuses it alike): a name is never returned cut short. */
ViStatus _VI_FUNC viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum);
ViStatus _VI_FUNC viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                                ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[]);

/* A one-line description of status into desc (at least 256 bytes), always zero-terminated.
 * An unknown code gives a generic text and VI_WARN_UNKNOWN_STATUS. */
ViStatus _VI_FUNC viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]);

#ifdef __cplusplus
}
#endif

#endif /* KOBRANT_VISA_H */
