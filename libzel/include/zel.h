/*
 * zel.h - the ZEL recording file library: record types, pixel formats,
 * the writer, image compression and the reader.
 *
 * The record structures are shared in memory with the recorder, so their
 * layout (x86-64 natural alignment) is part of the interface; every offset
 * and size is checked at compile time below.  Usable from C and C++.
 */
#ifndef ZEL_H
#define ZEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Record type codes; stored in every record's first byte. */
typedef enum zel_record_type {
    ZEL_DONE = 0,
    ZEL_DEBUG = 1,
    ZEL_HEADER = 2,
    ZEL_IMAGE = 3,
    ZEL_COMPRESSED_IMAGE = 4,
    ZEL_CURSOR_IMAGE = 5,
    ZEL_CURSOR_POSITION = 6,
    ZEL_SCREEN_CHANGE = 7,
    ZEL_LAST_INPUT = 8,
    ZEL_FOOTER_ITEM_APP = 9,
    ZEL_FOOTER_ITEM_HOST = 10,
    ZEL_FOOTER_ITEM_IP = 11,
    ZEL_FOOTER_ITEM_SID = 12,
    ZEL_FOOTER_ITEM_TID = 13,
    ZEL_IMAGE_BLOCKS = 14,
    ZEL_COMPRESSED_IMAGE_BLOCKS = 15,
    ZEL_FOOTER_ITEM_APPFMT = 16,
    /* Format version 2 and later; in a version-1 file these codes are corruption. */
    ZEL_COMPRESSED_CURSOR_IMAGE = 17,
    ZEL_COPY = 18,
    /* A link of the file's hash chain, optionally signed, that the writer
     * adds by itself (a ZelSeal).  Readers return it only when asked
     * (zel_reader_show_seals). */
    ZEL_SEAL = 19,
    /* Format version 3 and later; in files of versions 1 and 2 these codes are corruption. */
    ZEL_WINDOW = 20,       /* a ZelWindow */
    ZEL_INTERRUPTION = 21, /* a ZelInterruption */
    /* A whole screen that the writer adds by itself now and then, so that a
     * reader can start replaying there (a ZelCompressedImage with this type).
     * Readers return it only when asked (zel_reader_show_keyframes). */
    ZEL_KEYFRAME = 128,
    ZEL_TYPE_UNKNOWN = 255
} ZelRecordType;

/* Pixel layouts of the recorded screen.  FORMAT_NOT_FOUND (-1) is what the
 * recorder's detection reports when it found no visual at all; it is no
 * pixel format and has no pixel size. */
typedef enum pixel_format {
    FORMAT_NOT_FOUND = -1,
    FORMAT_UNKNOWN = 0,
    PALETTE8 = 1,
    RGB332 = 2,
    BGR233 = 3,
    RGB565 = 4,
    BGR565 = 5,
    xRGB8888 = 6,
    xBGR8888 = 7,
    RGBx8888 = 8,
    BGRx8888 = 9,
    ARGB8888 = 10,
    ABGR8888 = 11,
    RGBA8888 = 12,
    BGRA8888 = 13
} PixelFormat;

/* The head every record starts with. */
typedef struct zel_record {
    uint8_t type;       /* a ZelRecordType */
    uint64_t timestamp; /* microseconds since the Unix epoch */
} ZelRecord;

/* One palette entry: the 16-bit intensities of a colormap cell. */
typedef struct rgb_value {
    uint16_t red;
    uint16_t green;
    uint16_t blue;
    uint8_t pad[2];
} RgbValue;

typedef struct zel_header {
    uint8_t type;       /* ZEL_HEADER */
    uint8_t version;    /* 1 */
    uint64_t timestamp; /* the recorder's start instant */
    uint8_t depth;
    uint16_t width;
    uint16_t height;
    PixelFormat pixel_format;
    uint8_t scanline_pad; /* bits */
    uint16_t palette_size;
    RgbValue* palette; /* palette_size entries or NULL */
    uint8_t min_keycode;
    uint8_t max_keycode;
    uint8_t* user; /* NUL-terminated or NULL */
    uint8_t* tfn;  /* NUL-terminated or NULL */
} ZelHeader;

/* An uncompressed image in the X server's ZPixmap layout. */
typedef struct zel_image {
    uint8_t type; /* ZEL_IMAGE */
    uint64_t timestamp;
    uint16_t width;
    uint16_t height;
    int16_t x;
    int16_t y;
    PixelFormat pixel_format;
    uint8_t scanline_pad; /* bits */
    uint32_t bytes_per_line;
    uint32_t length;
    uint8_t* data;
} ZelImage;

typedef struct zel_compressed_image {
    uint8_t type; /* ZEL_COMPRESSED_IMAGE */
    uint64_t timestamp;
    uint16_t width;
    uint16_t height;
    int16_t x;
    int16_t y;
    PixelFormat pixel_format;
    uint8_t scanline_pad;
    uint32_t length;            /* uncompressed length */
    uint32_t compressed_length; /* length of data */
    uint8_t* data;
} ZelCompressedImage;

/* The changed blocks of one frame: entries of an 8-byte X RECTANGLE (host
 * byte order) followed by height rows of stride_in_bytes(width) bytes. */
typedef struct ZelImageBlocks {
    uint8_t type; /* ZEL_IMAGE_BLOCKS */
    uint64_t timestamp;
    uint32_t length;
    uint8_t* data;
} ZelImageBlocks;

typedef struct ZelCompressedImageBlocks {
    uint8_t type; /* ZEL_COMPRESSED_IMAGE_BLOCKS */
    uint64_t timestamp;
    uint32_t length;            /* uncompressed length */
    uint32_t compressed_length; /* length of data */
    uint8_t* data;
} ZelCompressedImageBlocks;

typedef struct zel_cursor_image {
    uint8_t type; /* ZEL_CURSOR_IMAGE */
    uint64_t timestamp;
    uint16_t width;
    uint16_t height;
    int16_t x;
    int16_t y;
    uint16_t xhot;
    uint16_t yhot;
    uint32_t cursor_serial;
    uint32_t length; /* number of 32-bit ARGB pixels in data */
    uint32_t* data;
} ZelCursorImage;

typedef struct zel_cursor_position {
    uint8_t type; /* ZEL_CURSOR_POSITION */
    uint64_t timestamp;
    int16_t x;
    int16_t y;
} ZelCursorPosition;

typedef struct zel_screen_change {
    uint8_t type; /* ZEL_SCREEN_CHANGE */
    uint64_t timestamp;
    uint16_t width;
    uint16_t height;
} ZelScreenChange;

typedef struct zel_last_input {
    uint8_t type; /* ZEL_LAST_INPUT */
    uint64_t timestamp;
    uint8_t* user; /* NUL-terminated or NULL */
    uint8_t* tfn;  /* NUL-terminated or NULL */
} ZelLastInput;

typedef struct zel_footer_item {
    uint8_t type; /* one of the ZEL_FOOTER_ITEM_ codes */
    uint64_t timestamp;
    uint8_t* item; /* NUL-terminated */
} ZelFooterItem;

/* A cursor image whose pixels are one zstd frame of `length` little-endian
 * u32 premultiplied ARGB values (4 * length bytes once decompressed). */
typedef struct ZelCompressedCursorImage {
    uint8_t type; /* ZEL_COMPRESSED_CURSOR_IMAGE */
    uint64_t timestamp;
    uint16_t width;
    uint16_t height;
    int16_t x;
    int16_t y;
    uint16_t xhot;
    uint16_t yhot;
    uint32_t cursor_serial;
    uint32_t length;            /* pixel count: width * height */
    uint32_t compressed_length; /* bytes of data */
    uint8_t* data;
} ZelCompressedCursorImage;

/* One rectangle copied from (src_x, src_y) to (dst_x, dst_y) on the screen. */
typedef struct ZelCopyRect {
    int16_t src_x;
    int16_t src_y;
    uint16_t width;
    uint16_t height;
    int16_t dst_x;
    int16_t dst_y;
} ZelCopyRect;

/* Rectangles of the screen copied elsewhere (scrolling, moved windows),
 * applied in order, each as if its whole source were read before any of its
 * target is written. */
typedef struct ZelCopy {
    uint8_t type; /* ZEL_COPY */
    uint64_t timestamp;
    uint32_t count; /* at least 1 in a file */
    ZelCopyRect* rects;
} ZelCopy;

#define ZEL_SEAL_SIGNED 0x01u     /* key_id and signature hold values */
#define ZEL_SEAL_PUBLIC_KEY 0x02u /* public_key holds a value (only with ZEL_SEAL_SIGNED) */
#define ZEL_SEAL_FINAL                                                                                       \
    0x04u /* the last seal; version 3: the end-of-data record comes right before it                          \
             (versions 1 and 2: right after it) */

/* A seal: the SHA-256 of every byte of the file before this seal's frame,
 * and an Ed25519 signature of it when the recording is signed.  In version
 * 3 the signature also covers the seal's own timestamp. */
typedef struct ZelSeal {
    uint8_t type; /* ZEL_SEAL */
    uint64_t timestamp;
    uint64_t offset;   /* the byte offset of this seal's frame: the bytes hashed */
    uint8_t chain[32]; /* SHA-256 of bytes 0 .. offset-1 */
    uint8_t flags;     /* ZEL_SEAL_SIGNED, ZEL_SEAL_PUBLIC_KEY, ZEL_SEAL_FINAL */
    uint8_t key_id[8];
    uint8_t signature[64];
    uint8_t public_key[32];
} ZelSeal;

/* Why a recording ended: the reason of the end-of-data record (version 3;
 * ZEL_END_UNSPECIFIED for every end-of-data record of versions 1 and 2). */
typedef enum zel_end_reason {
    ZEL_END_UNSPECIFIED = 0,
    ZEL_END_SIGNAL = 1,       /* a signal; ZelDone says which and who sent it */
    ZEL_END_STDIN_CLOSED = 2, /* standard input reached its end */
    ZEL_END_SIZE_LIMIT = 3,   /* the file reached its size limit */
    ZEL_END_DISPLAY_GONE = 4, /* the X display went away */
    ZEL_END_WRITE_FAILED = 5  /* a record could not be written (a full disk, ...) */
} ZelEndReason;

/* The end-of-data record (ZEL_DONE), made by zel_record_done.  The reader
 * returns the end-of-data record of every format version as a ZelDone. */
#ifdef __cplusplus
/* In C++ it is also a ZelRecord (the same layout), as it was before it had
 * fields of its own, so that a ZelDone* can be used wherever a ZelRecord*
 * is expected. */
typedef struct ZelDone : ZelRecord {
#else
typedef struct ZelDone {
    uint8_t type;       /* ZEL_DONE */
    uint64_t timestamp; /* when the recording ended */
#endif
    uint8_t reason; /* a ZelEndReason */
    int32_t signal; /* ZEL_END_SIGNAL: the signal number; else 0 */
    int32_t pid;    /* ZEL_END_SIGNAL: the sender's pid (0: the kernel, or unknown); else 0 */
    uint32_t uid;   /* ZEL_END_SIGNAL: the sender's uid; else 0 */
} ZelDone;

/* A field of arbitrary bytes (NUL bytes allowed) that may be null (no value,
 * or unknown).  At most ZEL_MAX_BYTES bytes in a file. */
typedef struct ZelBytes {
    uint32_t length; /* 0 when null */
    uint8_t* data;   /* NULL: null; else length bytes (malloc'ed, not NUL-terminated) */
} ZelBytes;

/* Largest bytes field a reader accepts (and the writer writes). */
#define ZEL_MAX_BYTES 4096u

/* What happened to a recorded window (ZelWindow.event). */
#define ZEL_WINDOW_SHOWN 1    /* it started being recorded: every field */
#define ZEL_WINDOW_TITLE 2    /* its title changed: title */
#define ZEL_WINDOW_GEOMETRY 3 /* it moved, was resized or restacked: x, y, width, height, z */
#define ZEL_WINDOW_GONE 4     /* it stopped being recorded: no other field */

/* ZelWindow.flags (ZEL_WINDOW_SHOWN). */
#define ZEL_WINDOW_OVERRIDE_REDIRECT 0x01u /* a pop-up: the window manager does not manage it */
#define ZEL_WINDOW_MANAGED 0x02u           /* inside a window-manager frame */

/* A window of the recorded screen.  Facts of the X server: window, x, y,
 * width, height, z, client, pid, the flags; facts of the host: uid, command;
 * claims of the client (anything it likes): title, instance, class_name,
 * transient_for.  Only the fields of its event are stored; the others read
 * back as 0 and null. */
typedef struct ZelWindow {
    uint8_t type; /* ZEL_WINDOW */
    uint64_t timestamp;
    uint32_t window; /* the X id of the recorded window */
    uint8_t event;   /* ZEL_WINDOW_SHOWN, _TITLE, _GEOMETRY or _GONE */
    uint8_t flags;   /* ZEL_WINDOW_OVERRIDE_REDIRECT, ZEL_WINDOW_MANAGED */
    uint16_t z;      /* position in the recorded stacking order, 0 = bottom */
    int16_t x;       /* outer corner, border included, in root coordinates */
    int16_t y;
    uint16_t width; /* border included */
    uint16_t height;
    uint32_t transient_for; /* WM_TRANSIENT_FOR (0: none) */
    uint32_t client;        /* the X client's resource-id base */
    int32_t pid;            /* -1: unknown */
    uint32_t uid;           /* owner of /proc/PID; 0xFFFFFFFF: unknown */
    ZelBytes command;       /* /proc/PID/cmdline: arguments separated by NUL bytes, no trailing NUL */
    ZelBytes title;         /* _NET_WM_NAME, else WM_NAME; null when none (TITLE: removed) */
    ZelBytes instance;      /* WM_CLASS, first string */
    ZelBytes class_name;    /* WM_CLASS, second string */
} ZelWindow;

/* Why recording was interrupted (ZelInterruption.cause). */
#define ZEL_GAP_CONNECTION_LOST 1 /* the connection to the X server */
#define ZEL_GAP_INPUT_LOST 2      /* the input stream */
#define ZEL_GAP_RESOURCE_LOST 3   /* an X resource the recorder needs */
#define ZEL_GAP_MANAGER_CHANGED 4 /* a point (from == timestamp): the window manager changed */

/* A stretch of time in which recording was not whole.  The record's
 * timestamp is when it was whole again ("to"). */
typedef struct ZelInterruption {
    uint8_t type; /* ZEL_INTERRUPTION */
    uint64_t timestamp;
    uint64_t from;   /* when the loss began, at most timestamp */
    uint8_t cause;   /* a ZEL_GAP_ code */
    ZelBytes detail; /* text for people; may be null */
} ZelInterruption;

/* ---- layout checks: the recorder and the library share these structures ---- */
#ifdef __cplusplus
#define ZEL_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define ZEL_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#define ZEL_CHECK(t, f, o) ZEL_STATIC_ASSERT(offsetof(t, f) == (o), #t "." #f " offset")
#define ZEL_SIZE(t, s) ZEL_STATIC_ASSERT(sizeof(t) == (s), #t " size")

ZEL_STATIC_ASSERT(sizeof(PixelFormat) == 4, "PixelFormat is a 4-byte enumeration");
ZEL_SIZE(ZelRecord, 16);
ZEL_CHECK(ZelRecord, type, 0);
ZEL_CHECK(ZelRecord, timestamp, 8);

ZEL_SIZE(RgbValue, 8);
ZEL_CHECK(RgbValue, red, 0);
ZEL_CHECK(RgbValue, green, 2);
ZEL_CHECK(RgbValue, blue, 4);
ZEL_CHECK(RgbValue, pad, 6);

ZEL_SIZE(ZelHeader, 64);
ZEL_CHECK(ZelHeader, version, 1);
ZEL_CHECK(ZelHeader, timestamp, 8);
ZEL_CHECK(ZelHeader, depth, 16);
ZEL_CHECK(ZelHeader, width, 18);
ZEL_CHECK(ZelHeader, height, 20);
ZEL_CHECK(ZelHeader, pixel_format, 24);
ZEL_CHECK(ZelHeader, scanline_pad, 28);
ZEL_CHECK(ZelHeader, palette_size, 30);
ZEL_CHECK(ZelHeader, palette, 32);
ZEL_CHECK(ZelHeader, min_keycode, 40);
ZEL_CHECK(ZelHeader, max_keycode, 41);
ZEL_CHECK(ZelHeader, user, 48);
ZEL_CHECK(ZelHeader, tfn, 56);

ZEL_SIZE(ZelImage, 48);
ZEL_CHECK(ZelImage, width, 16);
ZEL_CHECK(ZelImage, height, 18);
ZEL_CHECK(ZelImage, x, 20);
ZEL_CHECK(ZelImage, y, 22);
ZEL_CHECK(ZelImage, pixel_format, 24);
ZEL_CHECK(ZelImage, scanline_pad, 28);
ZEL_CHECK(ZelImage, bytes_per_line, 32);
ZEL_CHECK(ZelImage, length, 36);
ZEL_CHECK(ZelImage, data, 40);

ZEL_SIZE(ZelCompressedImage, 48);
ZEL_CHECK(ZelCompressedImage, width, 16);
ZEL_CHECK(ZelCompressedImage, height, 18);
ZEL_CHECK(ZelCompressedImage, x, 20);
ZEL_CHECK(ZelCompressedImage, y, 22);
ZEL_CHECK(ZelCompressedImage, pixel_format, 24);
ZEL_CHECK(ZelCompressedImage, scanline_pad, 28);
ZEL_CHECK(ZelCompressedImage, length, 32);
ZEL_CHECK(ZelCompressedImage, compressed_length, 36);
ZEL_CHECK(ZelCompressedImage, data, 40);

ZEL_SIZE(ZelImageBlocks, 32);
ZEL_CHECK(ZelImageBlocks, length, 16);
ZEL_CHECK(ZelImageBlocks, data, 24);

ZEL_SIZE(ZelCompressedImageBlocks, 32);
ZEL_CHECK(ZelCompressedImageBlocks, length, 16);
ZEL_CHECK(ZelCompressedImageBlocks, compressed_length, 20);
ZEL_CHECK(ZelCompressedImageBlocks, data, 24);

ZEL_SIZE(ZelCursorImage, 48);
ZEL_CHECK(ZelCursorImage, width, 16);
ZEL_CHECK(ZelCursorImage, height, 18);
ZEL_CHECK(ZelCursorImage, x, 20);
ZEL_CHECK(ZelCursorImage, y, 22);
ZEL_CHECK(ZelCursorImage, xhot, 24);
ZEL_CHECK(ZelCursorImage, yhot, 26);
ZEL_CHECK(ZelCursorImage, cursor_serial, 28);
ZEL_CHECK(ZelCursorImage, length, 32);
ZEL_CHECK(ZelCursorImage, data, 40);

ZEL_SIZE(ZelCursorPosition, 24);
ZEL_CHECK(ZelCursorPosition, x, 16);
ZEL_CHECK(ZelCursorPosition, y, 18);

ZEL_SIZE(ZelScreenChange, 24);
ZEL_CHECK(ZelScreenChange, width, 16);
ZEL_CHECK(ZelScreenChange, height, 18);

ZEL_SIZE(ZelLastInput, 32);
ZEL_CHECK(ZelLastInput, user, 16);
ZEL_CHECK(ZelLastInput, tfn, 24);

ZEL_SIZE(ZelFooterItem, 24);
ZEL_CHECK(ZelFooterItem, item, 16);

ZEL_SIZE(ZelCompressedCursorImage, 48);
ZEL_CHECK(ZelCompressedCursorImage, width, 16);
ZEL_CHECK(ZelCompressedCursorImage, xhot, 24);
ZEL_CHECK(ZelCompressedCursorImage, cursor_serial, 28);
ZEL_CHECK(ZelCompressedCursorImage, length, 32);
ZEL_CHECK(ZelCompressedCursorImage, compressed_length, 36);
ZEL_CHECK(ZelCompressedCursorImage, data, 40);

ZEL_SIZE(ZelCopyRect, 12);
ZEL_CHECK(ZelCopyRect, width, 4);
ZEL_CHECK(ZelCopyRect, dst_x, 8);
ZEL_SIZE(ZelCopy, 32);
ZEL_CHECK(ZelCopy, count, 16);
ZEL_CHECK(ZelCopy, rects, 24);

ZEL_SIZE(ZelSeal, 168);
ZEL_CHECK(ZelSeal, offset, 16);
ZEL_CHECK(ZelSeal, chain, 24);
ZEL_CHECK(ZelSeal, flags, 56);
ZEL_CHECK(ZelSeal, key_id, 57);
ZEL_CHECK(ZelSeal, signature, 65);
ZEL_CHECK(ZelSeal, public_key, 129);

ZEL_SIZE(ZelDone, 32);
#ifndef __cplusplus /* in C++ a derived structure; tests/zel/c_compile.c checks the offsets */
ZEL_CHECK(ZelDone, timestamp, 8);
ZEL_CHECK(ZelDone, reason, 16);
ZEL_CHECK(ZelDone, signal, 20);
ZEL_CHECK(ZelDone, pid, 24);
ZEL_CHECK(ZelDone, uid, 28);
#endif

ZEL_SIZE(ZelBytes, 16);
ZEL_CHECK(ZelBytes, length, 0);
ZEL_CHECK(ZelBytes, data, 8);

ZEL_SIZE(ZelWindow, 112);
ZEL_CHECK(ZelWindow, window, 16);
ZEL_CHECK(ZelWindow, event, 20);
ZEL_CHECK(ZelWindow, flags, 21);
ZEL_CHECK(ZelWindow, z, 22);
ZEL_CHECK(ZelWindow, x, 24);
ZEL_CHECK(ZelWindow, y, 26);
ZEL_CHECK(ZelWindow, width, 28);
ZEL_CHECK(ZelWindow, height, 30);
ZEL_CHECK(ZelWindow, transient_for, 32);
ZEL_CHECK(ZelWindow, client, 36);
ZEL_CHECK(ZelWindow, pid, 40);
ZEL_CHECK(ZelWindow, uid, 44);
ZEL_CHECK(ZelWindow, command, 48);
ZEL_CHECK(ZelWindow, title, 64);
ZEL_CHECK(ZelWindow, instance, 80);
ZEL_CHECK(ZelWindow, class_name, 96);

ZEL_SIZE(ZelInterruption, 48);
ZEL_CHECK(ZelInterruption, from, 16);
ZEL_CHECK(ZelInterruption, cause, 24);
ZEL_CHECK(ZelInterruption, detail, 32);

#undef ZEL_CHECK
#undef ZEL_SIZE

/* Results that must be looked at (C and C++). */
#if defined(__cplusplus) && __cplusplus >= 201703L
#define ZEL_NODISCARD [[nodiscard]]
#elif defined(__GNUC__) || defined(__clang__)
#define ZEL_NODISCARD __attribute__((warn_unused_result))
#else
#define ZEL_NODISCARD
#endif

/* ---- writer ---- */

/* Opaque writer of one recording file. */
typedef struct zel_writer ZelWriter;

/* Opens the recording at exactly this path and writes the file head: creates
 * the file with mode 0600, or uses an existing empty regular file; never
 * truncates a non-empty one, never follows a final symbolic link and never
 * blocks in open.  It takes a write lock on the whole file (an open file
 * description lock, fcntl F_OFD_SETLK) and holds it until zel_writer_close,
 * so that readers can tell that the recording is still being written
 * (zel_file_is_being_written); on a file system without such locks it
 * writes without one.  NULL on failure with errno:
 *   ELOOP   the path is a symbolic link;
 *   EEXIST  a non-empty regular file is there;
 *   EINVAL  something that is not a regular file is there (FIFO, directory,
 *           device, socket), or filename is NULL;
 *   EAGAIN  another writer holds the lock of the (empty) file;
 *   otherwise the errno of open or of writing the file head (ENOENT for a
 *   missing folder, EACCES, ENOSPC, ...). */
ZelWriter* zel_writer_open(const char* filename);

/* Encodes one record and hands the complete frame to the kernel before it
 * returns.  The writer may add a keyframe and a seal of its own after it
 * (never right after a copy record).  The end-of-data record (a ZelDone,
 * never a bare ZelRecord) is followed by the final seal, which covers it;
 * when that seal cannot be written the file reads as truncated, sealed up to
 * the seal before, and zel_writer_seal may try it again.  Nothing is written
 * after the final seal.  -1 on failure (and for a NULL writer or record, a
 * ZEL_SEAL record, which only the writer makes, or a record that cannot be
 * stored: EINVAL), 0 on success.  A frame that cannot be written completely
 * is taken back (the file ends on a frame boundary and the hash never sees
 * it); after a failed write of the caller's record every later record is
 * refused (EIO) except the end-of-data record, which is still tried with its
 * final seal, so that a full disk can still end the recording with
 * ZEL_END_WRITE_FAILED when the small end fits.  Does not take ownership. */
int zel_record_write(ZelWriter* writer, const void* record);

/* Writes a seal now whose frame (and signed message) carries this
 * timestamp, even when nothing was written since the last seal, so that an
 * idle recording proves that it still ran at that time.  Right after a copy
 * record it writes nothing now and seals after the next record instead;
 * right after the end-of-data record, when its final seal could not be
 * written, it tries that final seal again.  0, or -1 with errno (EINVAL for
 * a NULL writer or a recording already sealed at its end, EIO after a failed
 * write, or the errno of writing). */
ZEL_NODISCARD int zel_writer_seal(ZelWriter* writer, uint64_t timestamp);

/* Whether another open file description holds a write lock on the file
 * open at fd (a writer of this library holds one until it closes): 1 yes,
 * 0 no, -1 with errno.  Takes no lock itself. */
int zel_file_is_being_written(int fd);

/* Closes the file (NULL is allowed and fails).  -1 on failure. */
int zel_writer_close(ZelWriter* writer);

/* The writer follows the screen it writes and adds a ZEL_KEYFRAME record
 * (the whole screen, compressed) once this many bytes of uncompressed block
 * data have been written since the last whole screen, and once
 * ZEL_KEYFRAME_PERIOD microseconds of record time have passed since the last
 * whole screen while blocks or copies were written, so that seeking never has
 * to decode much.  0 turns the writer's keyframes off (and it then keeps no
 * copy of the screen): a recorder that keeps the screen itself writes
 * ZEL_KEYFRAME records of its own, which the writer seals like its own.  The
 * default is ZEL_KEYFRAME_INTERVAL; set it before the first record. */
#define ZEL_KEYFRAME_INTERVAL (256u * 1024u * 1024u)
#define ZEL_KEYFRAME_PERIOD 30000000u
void zel_writer_set_keyframe_interval(ZelWriter* writer, uint64_t bytes);

/* Record time between two seals: the writer adds a seal after the first
 * record that is this many microseconds or more past the last seal (or the
 * first record).  A recorder that wants seals by wall time, idle or not,
 * calls zel_writer_seal. */
#define ZEL_SEAL_PERIOD 10000000u

/* Ed25519 key sizes (libsodium's layout: the secret key is the 32-byte seed
 * followed by the 32-byte public key). */
#define ZEL_SECRET_KEY_BYTES 64
#define ZEL_PUBLIC_KEY_BYTES 32
#define ZEL_KEY_ID_BYTES 8
#define ZEL_DIGEST_BYTES 32

/* Signs every seal with this key from now on.  Only before the first record;
 * the writer keeps a copy (wiped at close).  0 on success; -1 with errno
 * EINVAL for a NULL argument, a key whose public half does not belong to its
 * seed, or a writer that has written records already. */
ZEL_NODISCARD int zel_writer_set_signing_key(ZelWriter* writer,
                                             const uint8_t secret_key[ZEL_SECRET_KEY_BYTES]);

/* Bytes of the file written so far (file head and complete frames). */
uint64_t zel_writer_size(const ZelWriter* writer);

/* SHA-256 of every byte written to the file so far (what sha256sum prints
 * for it once the writer is done).  0, or -1 for a NULL argument. */
int zel_writer_digest(const ZelWriter* writer, uint8_t out[ZEL_DIGEST_BYTES]);

/* ---- records ---- */

/* A new end-of-data record (reason ZEL_END_UNSPECIFIED); the caller sets its
 * timestamp and reason (and for ZEL_END_SIGNAL the signal and its sender).
 * NULL without memory. */
ZelDone* zel_record_done(void);

/* Releases a record and every block its pointer fields own, chosen by its
 * type; NULL pointer fields are skipped; NULL is allowed. */
void zel_record_free(void* record);

/* A static name for log lines. */
const char* zel_record_type_to_string(ZelRecordType type);

/* Static names of an end reason ("unspecified", "signal", "stdin-closed",
 * "size-limit", "display-gone", "write-failed"), a window event ("shown",
 * "title", "geometry", "gone") and an interruption's cause
 * ("connection-lost", "input-lost", "resource-lost", "manager-changed");
 * "unknown" for other values. */
const char* zel_end_reason_to_string(uint8_t reason);
const char* zel_window_event_to_string(uint8_t event);
const char* zel_gap_cause_to_string(uint8_t cause);

/* ---- images ---- */

/* New compressed copies; the input stays the caller's.  NULL on failure. */
ZelCompressedImage* zel_image_compress(const ZelImage* image);
ZelCompressedImageBlocks* zel_image_blocks_compress(const ZelImageBlocks* blocks);
/* NULL with errno EINVAL unless length == width * height (and data holds
 * them), ENOMEM without memory. */
ZelCompressedCursorImage* zel_cursor_image_compress(const ZelCursorImage* cursor);

/* A compressed image blocks record made from pieces, so that the entries
 * never need one buffer of their own: begin with the total uncompressed
 * length, add the entries' bytes in order, end with the record's timestamp.
 * zel_blocks_end returns the record (NULL, errno EINVAL, when the pieces did
 * not add up to the length; ENOMEM without memory) and frees the builder.
 * One builder at a time per thread, and no other compression on that thread
 * while it is open. */
typedef struct zel_blocks_builder ZelBlocksBuilder;
ZEL_NODISCARD ZelBlocksBuilder* zel_blocks_begin(uint32_t length);
ZEL_NODISCARD int zel_blocks_add(ZelBlocksBuilder* builder, const void* data, size_t n);
ZEL_NODISCARD ZelCompressedImageBlocks* zel_blocks_end(ZelBlocksBuilder* builder, uint64_t timestamp);

/* Bytes in one ZPixmap scanline of width pixels, padded to scanline_pad bits. */
uint32_t stride_in_bytes(uint32_t width, uint8_t bits_per_pixel, uint8_t scanline_pad);

/* 1, 2 or 4; 0 for FORMAT_UNKNOWN and anything that is no pixel format. */
uint8_t pixel_format_bytes_per_pixel(PixelFormat format);

/* ---- limits a reader applies to every file ---- */

/* Version written after the magic at the start of every file. */
#define ZEL_FORMAT_VERSION 3
/* The oldest version a reader still reads. */
#define ZEL_FORMAT_VERSION_MIN 1
/* Largest payload of one record frame, in bytes. */
#define ZEL_MAX_PAYLOAD (512u * 1024u * 1024u)
/* Largest uncompressed image or block data, and largest replay canvas. */
#define ZEL_MAX_UNCOMPRESSED (512u * 1024u * 1024u)

/* ---- decompression ---- */

/* A new ZelImage (type ZEL_IMAGE) with the geometry of the compressed one,
 * data holding `length` bytes and bytes_per_line the padded stride (0 when
 * the pixel format has no pixel size).  NULL with errno EINVAL when the data
 * does not decompress to exactly `length` bytes or `length` passes
 * ZEL_MAX_UNCOMPRESSED, ENOMEM without memory.  Free with zel_record_free. */
ZEL_NODISCARD ZelImage* zel_image_decompress(const ZelCompressedImage* image);

/* A new ZelImageBlocks (type ZEL_IMAGE_BLOCKS) holding the entries; NULL and
 * errno as for zel_image_decompress. */
ZEL_NODISCARD ZelImageBlocks* zel_image_blocks_decompress(const ZelCompressedImageBlocks* blocks);

/* A new ZelCursorImage (type ZEL_CURSOR_IMAGE) with the pixels as host
 * integers; NULL with errno EINVAL when length != width * height or the data
 * does not decompress to exactly 4 * length bytes, ENOMEM without memory. */
ZEL_NODISCARD ZelCursorImage* zel_cursor_image_decompress(const ZelCompressedCursorImage* cursor);

/* ---- reader ---- */

/* Opaque reader of one recording, from a file or from memory. */
typedef struct zel_reader ZelReader;

typedef enum zel_read_status {
    ZEL_READ_RECORD = 0,    /* a record was returned */
    ZEL_READ_END = 1,       /* complete: the end-of-data record came last and nothing follows it */
    ZEL_READ_TRUNCATED = 2, /* the data stops before an end-of-data record; all records before were good */
    ZEL_READ_CORRUPT = 3,   /* a checksum or a field does not hold */
    ZEL_READ_ERROR = 4      /* the file could not be read, or no memory; errno tells */
} ZelReadStatus;

/* Opens a recording file for reading; NULL with errno set.  The file's
 * start (magic, version) is checked by the first zel_reader_next. */
ZEL_NODISCARD ZelReader* zel_reader_open(const char* filename);

/* Reads a recording held in memory; the bytes are not copied and must stay
 * valid until zel_reader_close.  NULL only without memory. */
ZEL_NODISCARD ZelReader* zel_reader_open_memory(const void* data, size_t size);

/* Bytes of a recording from anywhere (object storage, a network, ...). */
typedef struct ZelSource {
    void* context;
    /* Reads bytes from offset into buf: how many (<= n; 0 at the end), or -1
     * with errno on failure.  Short reads are retried. */
    int64_t (*read_at)(void* context, uint64_t offset, void* buf, size_t n);
    /* Bytes available now. */
    uint64_t (*size)(void* context);
    /* Called by zel_reader_close; may be NULL. */
    void (*close)(void* context);
} ZelSource;

/* Reads a recording through a source (the structure is copied; its context
 * belongs to the reader from now on and is closed with it).  The size is
 * asked for now and again by zel_reader_seek.  NULL with errno EINVAL (no
 * source, read_at or size) or ENOMEM, and then the source is not closed. */
ZEL_NODISCARD ZelReader* zel_reader_open_source(const ZelSource* source);

/* Closes the reader; NULL is allowed. */
void zel_reader_close(ZelReader* reader);

/* Reads the next record.  On ZEL_READ_RECORD *record receives a new record
 * of the structure its type names (compressed images stay compressed; see
 * zel_image_decompress), freed by the caller with zel_record_free; the
 * end-of-data record is returned as a ZelDone, in every format version.  On
 * every other status *record is NULL and the status stays for later calls
 * (until zel_reader_seek or zel_reader_resync); zel_reader_problem_offset
 * and zel_reader_problem say where and what. */
ZEL_NODISCARD ZelReadStatus zel_reader_next(ZelReader* reader, ZelRecord** record);

/* After ZEL_READ_CORRUPT: finds the first offset after the damaged frame's
 * start at which an intact frame begins (its head checksum holds, its type
 * is known in the file's version, its reserved bytes are 0, its length fits
 * the limit and the data, and its frame checksum holds); the next
 * zel_reader_next returns that record.  An attached verifier is told the
 * damaged span.  0 found; 1 nothing intact follows (the status stays
 * corrupt); -1 with errno EINVAL when the status is not corrupt or the file
 * head is damaged, or the errno of reading.  A reader that replays skips
 * image, block and copy records after a resync until the next whole screen
 * (zel_replay_mark_damage). */
ZEL_NODISCARD int zel_reader_resync(ZelReader* reader);

/* Frames of these n types are passed over by their length (their payload is
 * neither read nor checked) and never returned; n = 0 returns every type
 * again.  The end-of-data record is never passed over.  No effect on a
 * reader with a verifier attached (which must see every byte); a reader
 * that passes types over refuses a verifier. */
void zel_reader_skip_types(ZelReader* reader, const uint8_t* types, size_t n);

/* Whether zel_reader_next also returns ZEL_KEYFRAME records (default 0:
 * they are skipped, after their checksums have been checked). */
void zel_reader_show_keyframes(ZelReader* reader, int show);

/* Whether zel_reader_next also returns ZEL_SEAL records (default 0: they
 * are skipped after their checksums and fields have been checked). */
void zel_reader_show_seals(ZelReader* reader, int show);

/* Format version of the file head (1, 2 or 3); 0 before the head was read. */
unsigned zel_reader_format_version(const ZelReader* reader);

/* Byte offset of the frame of the record last returned. */
uint64_t zel_reader_record_offset(const ZelReader* reader);
/* Bytes of that frame (head, payload and checksum). */
uint64_t zel_reader_record_size(const ZelReader* reader);
/* Byte offset at which the truncation or corruption was found: the start of
 * the incomplete or damaged frame (0 for a damaged file start). */
uint64_t zel_reader_problem_offset(const ZelReader* reader);
/* What went wrong, as one line of text without the offset; "" while all is
 * well.  Valid until the next call on the reader. */
const char* zel_reader_problem(const ZelReader* reader);
/* Size of the file or source (as opened, or as zel_reader_seek last found
 * it) or of the buffer, in bytes. */
uint64_t zel_reader_size(const ZelReader* reader);

/* Continues reading at a frame offset that zel_reader_record_offset gave
 * for this reader (an index for seeking), or at the problem offset of a
 * truncation (to read on in a recording that grew); clears a previous
 * status and takes the size of the file or source again.  0 on success, -1
 * with errno EINVAL for an offset outside the data or a reader with a
 * verifier (which must see every byte in order). */
ZEL_NODISCARD int zel_reader_seek(ZelReader* reader, uint64_t offset);

/* A static name of a read status: "record", "end", "truncated", ... */
const char* zel_read_status_to_string(ZelReadStatus status);

/* ---- verification: hash chain, seals and signatures ---- */

typedef enum zel_verdict {
    ZEL_VERDICT_COMPLETE = 0,     /* complete, and every seal holds */
    ZEL_VERDICT_ERROR = 1,        /* the file could not be read, or no memory */
    ZEL_VERDICT_TRUNCATED = 2,    /* the data stops before the end; the seals read hold */
    ZEL_VERDICT_CORRUPT = 3,      /* a checksum, a field, or a record that does not fit the screen */
    ZEL_VERDICT_NOT_AUTHENTIC = 4 /* every checksum holds but a seal does not (or one is missing) */
} ZelVerdict;

/* What a verification found. */
typedef struct ZelVerification {
    ZelVerdict verdict;      /* corrupt: problem_offset is the first damage (zel_verifier_damage lists all) */
    unsigned format_version; /* of the file head; 0 when it could not be read */
    uint64_t records;        /* records read, the writer's own included */
    uint32_t seals;          /* seals that hold */
    int is_signed;           /* 1 when the seals are signed */
    uint8_t key_id[ZEL_KEY_ID_BYTES];
    int key_checked;         /* 1 when a public key was given and every seal is signed with it */
    uint64_t sealed_bytes;   /* the file's first sealed_bytes bytes are covered by a seal that holds */
    uint64_t sealed_time;    /* version 3: that seal's own timestamp; versions 1 and 2: the timestamp
                                of the last record inside the sealed bytes (0 when none) */
    uint64_t header_time;    /* timestamp of the first header record (0 when none) */
    uint64_t problem_offset; /* frame where the verdict was decided (not complete) */
    char reason[200];        /* what went wrong, one line ("" when complete) */
} ZelVerification;

/* A verifier follows the reader it is given to: it hashes every byte the
 * reader reads and checks every seal against the bytes before it, its
 * signature, and the key. */
typedef struct zel_verifier ZelVerifier;

/* A new verifier; with public_key (32 bytes) every seal must be signed by
 * that key.  NULL without memory. */
ZEL_NODISCARD ZelVerifier* zel_verifier_new(const uint8_t* public_key);
void zel_verifier_free(ZelVerifier* verifier);

/* Attaches the verifier (not taken) to a reader that has not read anything
 * yet, or detaches it (verifier NULL, at any time).  0, or -1 with errno
 * EINVAL. */
ZEL_NODISCARD int zel_reader_set_verifier(ZelReader* reader, ZelVerifier* verifier);

/* Tells the verifier that the record at this frame offset does not decode or
 * fit the screen (what zel_replay_apply refuses): the recording is corrupt. */
void zel_verifier_reject(ZelVerifier* verifier, uint64_t offset, const char* why);

/* The verdict once the reader has returned a status other than
 * ZEL_READ_RECORD (before that: truncated at the reader's position). */
void zel_verifier_result(const ZelVerifier* verifier, ZelVerification* out);

/* A stretch of a recording that could not be read: from the start of a
 * damaged frame to the next intact frame (zel_reader_resync), or one record
 * whose checksums hold but that does not decode or fit the screen. */
typedef struct ZelDamage {
    uint64_t from;        /* first byte */
    uint64_t to;          /* the byte after it: the next intact frame, or the end of the data */
    uint64_t time_before; /* timestamp of the last record read before it (0: none) */
    uint64_t time_after;  /* timestamp of the first record read after it (0: none) */
} ZelDamage;

/* Copies up to n of the damaged spans found so far, in file order, into out
 * (may be NULL with n 0); returns how many there are. */
size_t zel_verifier_damage(const ZelVerifier* verifier, ZelDamage* out, size_t n);

/* Reads the whole recording from its start through this verifier (it
 * attaches it and detaches it again), replaying every record (a record that
 * does not decode or fit the screen is damage) and reading on past every
 * damaged frame (zel_reader_resync); zel_verifier_result and
 * zel_verifier_damage then tell what was found.  0, or -1 with errno EINVAL
 * (a reader that was read from, or a verifier that was used) or ENOMEM. */
ZEL_NODISCARD int zel_verifier_run(ZelVerifier* verifier, ZelReader* reader);

/* zel_verifier_run with a verifier of its own: reads the whole recording
 * from its start, applies every record to a replay (a record that does not
 * decode or fit the screen is corruption) and checks the seals; public_key
 * as for zel_verifier_new.  Fills *out and returns its verdict. */
ZelVerdict zel_verify(ZelReader* reader, const uint8_t* public_key, ZelVerification* out);

/* A static name: "complete", "truncated", "corrupt", "not authentic", "error". */
const char* zel_verdict_to_string(ZelVerdict verdict);

/* ---- key files ---- */

/* The key id of a public key: the first 8 bytes of its SHA-256. */
void zel_key_id(const uint8_t public_key[ZEL_PUBLIC_KEY_BYTES], uint8_t key_id[ZEL_KEY_ID_BYTES]);

/* A key id as people read it: 16 upper-case hexadecimal digits and a NUL. */
#define ZEL_KEY_ID_TEXT_BYTES (2 * ZEL_KEY_ID_BYTES + 1)
void zel_key_id_text(const uint8_t key_id[ZEL_KEY_ID_BYTES], char out[ZEL_KEY_ID_TEXT_BYTES]);

/* Reads a key file written by zel_key_generate.  The file is opened without
 * following a final symbolic link and without blocking, and must be a
 * regular file; a secret key file must have no group or other permission
 * bit.  0 on success; -1 with one line in message (at most size bytes,
 * NUL-terminated) such as "secret key file K is a symbolic link". */
ZEL_NODISCARD int zel_key_read_secret(const char* path, uint8_t secret_key[ZEL_SECRET_KEY_BYTES],
                                      char* message, size_t size);
ZEL_NODISCARD int zel_key_read_public(const char* path, uint8_t public_key[ZEL_PUBLIC_KEY_BYTES],
                                      char* message, size_t size);

/* Makes a new Ed25519 key pair and writes the secret key file (mode 0600)
 * and the public key file (mode 0644), neither overwriting an existing file
 * nor following a symbolic link; key_id (may be NULL) receives the key id.
 * 0 on success; -1 with one line in message, and no file left behind. */
ZEL_NODISCARD int zel_key_generate(const char* secret_path, const char* public_path,
                                   uint8_t key_id[ZEL_KEY_ID_BYTES], char* message, size_t size);

/* ---- replay ---- */

/* A screen rebuilt by applying records in order. */
typedef struct zel_replay ZelReplay;

/* A new empty replay (no screen until a header is applied); NULL without memory. */
ZEL_NODISCARD ZelReplay* zel_replay_new(void);

/* A copy of the whole state, for keyframes; NULL without memory. */
ZEL_NODISCARD ZelReplay* zel_replay_clone(const ZelReplay* replay);

/* Releases it; NULL is allowed. */
void zel_replay_free(ZelReplay* replay);

/* Applies one record: a header sets the size, pixel format, scanline pad
 * and palette and clears the screen; an image (plain or compressed) paints
 * its rectangle, clipped to the screen (a keyframe too); image blocks (plain
 * or compressed) paint each entry's rectangle; a copy copies its rectangles
 * in order (never clipped); a screen change resizes, keeping the top-left
 * part and clearing the rest; a cursor image (plain or compressed) sets the
 * cursor and the pointer position; a cursor position moves the pointer.
 * Other types (window, interruption, last input, ...) only advance the
 * time.  0 on success; -1 with errno EINVAL
 * when the record does not fit (an image or copy before the header, an image
 * in another pixel format, a copy rectangle not wholly inside the screen,
 * inconsistent lengths, undecodable data; the screen and cursor are left as
 * they were), ENOMEM without memory. */
ZEL_NODISCARD int zel_replay_apply(ZelReplay* replay, const void* record);

/* Tells the replay that records are missing before the next one applied
 * (a damaged span): image, block and copy records are passed over (they
 * only advance the time) until the next whole screen: a header, or an
 * image, compressed image or keyframe that covers the screen. */
void zel_replay_mark_damage(ZelReplay* replay);

/* 1 while the screen shows what the records made, 0 between
 * zel_replay_mark_damage and the next whole screen. */
int zel_replay_is_whole(const ZelReplay* replay);

/* 1 once a header has been applied, else 0. */
int zel_replay_has_screen(const ZelReplay* replay);
uint16_t zel_replay_width(const ZelReplay* replay);
uint16_t zel_replay_height(const ZelReplay* replay);
PixelFormat zel_replay_pixel_format(const ZelReplay* replay);
/* Timestamp of the last record applied (0 before any). */
uint64_t zel_replay_time(const ZelReplay* replay);

/* The screen in the recorded layout: height rows of *stride bytes each
 * (the ZPixmap stride of the width), pixels as the server delivered them.
 * NULL before the header (or for an empty screen). */
const uint8_t* zel_replay_canvas(const ZelReplay* replay, uint32_t* stride);

/* Writes the screen as 8-bit R, G, B, A bytes, width * height * 4 bytes,
 * rows top to bottom without padding; with_cursor draws the cursor image at
 * the pointer (its ARGB is premultiplied, as the server gives it).  Pixels
 * with an unused byte get alpha 255; palette indexes past the palette are
 * black.  0 on success, -1 with errno EINVAL when size is too small or
 * there is no screen. */
ZEL_NODISCARD int zel_replay_render_rgba(const ZelReplay* replay, uint8_t* out, size_t size, int with_cursor);

/* Pointer position; returns 1 when a cursor image is known, else 0 (the
 * position is still written when known from a cursor position record). */
int zel_replay_cursor(const ZelReplay* replay, int16_t* x, int16_t* y);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_H */
