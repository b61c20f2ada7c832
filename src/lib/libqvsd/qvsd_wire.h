#pragma once
/* The wire format of the file service, shared by the client and the server: frames, attributes,
 * request building, in-place decoding against reply policies, and the transfer result codes.
 *
 * Frame: "Q" "V", a protocol byte, a command byte, then one attribute (the root table) whose
 * header word sits at offset 4. Numbers are big-endian. An attribute is a header word (bit 31
 * named, bits 24-30 type id, bits 0-23 length counting header, name part and value, not the
 * padding), then for a named attribute a 16-bit name length, the name, a NUL and zero padding to
 * a multiple of 4, then the value, then zero padding to a multiple of 4.
 *
 * Decoding never copies: a slot points at the attribute inside the received buffer, and values
 * are converted when read. Every attribute a slot points at has been checked first, including
 * everything nested inside tables and arrays.
 *
 * Nothing here is shared between threads; a message buffer belongs to one connection. */
#include <cstddef>
#include <cstdint>

/* Attribute type ids, fixed on the wire. */
enum : uint8_t {
  QVSD_T_UNSPEC = 0,
  QVSD_T_ARRAY = 1,
  QVSD_T_TABLE = 2,
  QVSD_T_RAW = 3,
  QVSD_T_STRING = 4,
  QVSD_T_INT64 = 5,
  QVSD_T_INT32 = 6,
  QVSD_T_INT16 = 7,
  QVSD_T_INT8 = 8,
  QVSD_T_MAX = 8,
};

constexpr uint8_t QVSD_MAGIC0 = 0x51;
constexpr uint8_t QVSD_MAGIC1 = 0x56;
constexpr uint8_t QVSD_PROTO_CLIENT = 1;
constexpr size_t QVSD_FRAME_HEAD = 8;          /* magic, protocol, command, root header word */
constexpr uint32_t QVSD_ATTR_LEN_MAX = 0xFFFFFF; /* the 24-bit length field */
/* Ceiling of any reply body a client accepts, whatever the command. */
constexpr uint32_t QVSD_REPLY_CEILING = 64u << 20;
/* Nesting of tables and arrays that a decoder follows; deeper input is refused. */
constexpr int QVSD_NEST_MAX = 16;

/* Transfer result codes of one exchange. */
enum : int {
  QVSD_R_OK = 0,
  QVSD_R_NET = 1,
  QVSD_R_DATA = 2,
  QVSD_R_TIMEOUT = 3,
  QVSD_R_SRV = 4,
  QVSD_R_MEMORY = 5,
  QVSD_R_STOP = 6,
  QVSD_R_UNPACK = 7,
  QVSD_R_LEN = 8,
  QVSD_R_EMPTY_LIST = 9,   /* an open or create with an empty name list */
  QVSD_R_NEEDS_185 = 10,   /* a directory open with options on a server older than "1.8.5" */
};
/* Text of a result code ("ok", "net error", ...); "unkown error" for any other value. */
const char *qvsd_result_str(int code);

/* ---- Reading attributes (the pointer is the attribute's header word). ---- */
uint32_t qvsd_get_be32(const void *p);
uint64_t qvsd_get_be64(const void *p);
void qvsd_put_be32(void *p, uint32_t v);
void qvsd_put_be64(void *p, uint64_t v);

inline uint32_t qvsd_attr_len(const void *a) { return qvsd_get_be32(a) & QVSD_ATTR_LEN_MAX; }
inline uint8_t qvsd_attr_type(const void *a) { return (uint8_t)((qvsd_get_be32(a) >> 24) & 0x7F); }
inline bool qvsd_attr_named(const void *a) { return (qvsd_get_be32(a) & 0x80000000u) != 0; }
inline uint32_t qvsd_pad4(uint32_t n) { return (n + 3) & ~3u; }
/* Length of the attribute with its trailing padding. */
inline uint32_t qvsd_attr_padlen(const void *a) { return qvsd_pad4(qvsd_attr_len(a)); }
/* Bytes of the name part (0 for an unnamed attribute); only for checked attributes. */
uint32_t qvsd_attr_name_part(const void *a);
/* Name of a checked named attribute ("" when unnamed) and its length. */
const char *qvsd_attr_name(const void *a, uint32_t *len = nullptr);
/* Value of a checked attribute and its length. */
const void *qvsd_attr_data(const void *a);
uint32_t qvsd_attr_data_len(const void *a);
/* Converted values of checked attributes of the matching type. */
int64_t qvsd_attr_i64(const void *a);
int32_t qvsd_attr_i32(const void *a);
int16_t qvsd_attr_i16(const void *a);
int8_t qvsd_attr_i8(const void *a);
/* A string value (the NUL is part of the checked value). */
const char *qvsd_attr_str(const void *a);

/* Checks one attribute of avail bytes (its padded length must fit) and, for tables and arrays,
 * everything nested in it down to QVSD_NEST_MAX levels. need_name: members of a table must be
 * named. 0 when valid, -1 otherwise. */
int qvsd_attr_check(const void *a, uint32_t avail, bool need_name, int depth = 0);

/* ---- Reply policies ---- */
struct qvsd_policy {
  const char *name;
  uint8_t type; /* QVSD_T_*; QVSD_T_UNSPEC accepts any type */
};
/* Decodes the members of a root table (the bytes after its header word, len bytes) into slots,
 * one per policy entry (null when absent). Entry 0 must be "errno" (int32) and entry 1
 * "errno_str" (string). A member that matches an entry by type and name length is checked; a bad
 * one fails the whole decode. The first member of a name wins; unknown names are ignored. With
 * errno 0 every slot must be filled. Returns 0 or -1. */
int cli_blobmsg_parse(const qvsd_policy *policy, int n, const void **slots, const void *members, uint32_t len);

/* ---- Building a message ---- */
/* A growable message buffer: the root table from its header word on. The buffer grows in steps of
 * 256 bytes and is never shrunk, so a connection allocates only while its requests grow. */
struct qvsd_msg {
  uint8_t *data = nullptr;
  uint32_t cap = 0;
  uint32_t len = 0; /* padded length of the root, header word included */
};
/* Starts a new empty root table. 0, or -1 when the buffer cannot be allocated. */
int qvsd_msg_reset(qvsd_msg *m);
/* Appends a named member. -1 when memory runs out or the root would exceed the 24-bit length. */
int qvsd_msg_add(qvsd_msg *m, uint8_t type, const char *name, const void *value, uint32_t vlen);
int qvsd_msg_add_i64(qvsd_msg *m, const char *name, int64_t v);
int qvsd_msg_add_i32(qvsd_msg *m, const char *name, int32_t v);
/* The string with its NUL (a null string is sent as "") */
int qvsd_msg_add_str(qvsd_msg *m, const char *name, const char *s);
int qvsd_msg_add_raw(qvsd_msg *m, const char *name, const void *p, uint32_t n);
/* Appends a raw member with room for max bytes; *value points at that room until the next add.
 * The room is not cleared: the caller writes the value and cuts the member to it with
 * qvsd_msg_shrink_raw before the message is sent. Returns the member's offset, or -1. */
int qvsd_msg_reserve_raw(qvsd_msg *m, const char *name, uint32_t max, void **value);
/* Cuts the reserved member at offset to used bytes (the root shrinks with it). Only the last
 * member can be cut: -1 otherwise or when used exceeds the reservation. */
int qvsd_msg_shrink_raw(qvsd_msg *m, int offset, uint32_t used);
void qvsd_msg_free(qvsd_msg *m);

/* Writes the 8 frame header bytes for a body whose root header word is at body[0..4). */
void qvsd_frame_head(uint8_t out[QVSD_FRAME_HEAD], uint8_t proto, uint8_t cmd, const void *body);
/* Padded root length T announced by a frame header (the header word at bytes 4-7). */
uint32_t qvsd_frame_body_len(const uint8_t head[QVSD_FRAME_HEAD]);

/* ---- Texts inside replies ---- */
/* Version text -> value: 1 to 4 dotted numbers, the first nonzero; anything else is 0. */
uint64_t qvsd_version_parse(const char *text);
/* Value of key in a server information text (lines "key=[value]"): the text between the first
 * "[" and the last "]" of the trimmed remainder, copied into out. 0, or -1 when the key is absent,
 * the line has no brackets or the value does not fit. */
int qvsd_info_get(const char *info, const char *key, char *out, size_t size);
