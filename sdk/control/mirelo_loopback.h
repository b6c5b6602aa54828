/* Control interface of the loopback SDK: lets tests and tools list clouds, raise delegate events,
 * wait for delivery, read the journal, failures, statistics and settings, inject results and
 * configure the loopback. Plain C, no knowledge of any caller's language.
 *
 * Values cross this interface in one tagged binary encoding (little endian): a tag byte, then
 *   0 none; 1 bool (one byte, 0 or 1); 2 int64; 3 uint64; 4 bytes (uint32 length, bytes);
 *   5 list (uint32 count, values); 6 dict (uint32 count, then per field uint32 name length,
 *   name bytes, value).
 * Snapshots are written into a caller-sized buffer: call with a capacity too small (0 is fine)
 * to learn the size, then again with a larger buffer; the content may have grown in between, in
 * which case the call again reports MIRELO_LOOPBACK_BUFFER_TOO_SMALL and the new size.
 * Every wait takes a timeout in seconds.
 *
 * No exception leaves these functions: one that cannot complete returns
 * MIRELO_LOOPBACK_OUT_OF_MEMORY or MIRELO_LOOPBACK_INTERNAL_ERROR, and mirelo_loopback_last_error
 * then gives the reason. A failed call changes nothing, except that events raised before the
 * failure of an emit stay raised. */
#ifndef MIRELO_LOOPBACK_H
#define MIRELO_LOOPBACK_H

#include <stddef.h>
#include <stdint.h>

#ifndef MIRELO_API
#define MIRELO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MIRELO_LOOPBACK_INTERFACE_VERSION 2

enum mirelo_loopback_status {
    MIRELO_LOOPBACK_OK = 0,
    MIRELO_LOOPBACK_UNKNOWN_CLOUD = 1,
    MIRELO_LOOPBACK_UNKNOWN_OPERATION = 2,
    MIRELO_LOOPBACK_BAD_ARGUMENTS = 3,
    MIRELO_LOOPBACK_TIMEOUT = 4,
    MIRELO_LOOPBACK_BUFFER_TOO_SMALL = 5,
    MIRELO_LOOPBACK_OUT_OF_MEMORY = 6,
    MIRELO_LOOPBACK_INTERNAL_ERROR = 7
};

enum mirelo_loopback_snapshot_kind {
    MIRELO_LOOPBACK_CLOUDS = 0,        /* list of cloud handles (uint64), in creation order */
    MIRELO_LOOPBACK_JOURNAL = 1,       /* list of [cloud, operation name, list of arguments] */
    MIRELO_LOOPBACK_FAILURES = 2,      /* list of [cloud, operation name, exception text] */
    MIRELO_LOOPBACK_STATS = 3,         /* list of dicts: cloud, raised, delivered, dropped, coalesced,
                                          dropped_by_event and coalesced_by_event (dicts of counts by
                                          operation name), discarded, queued, paced_audio_refused,
                                          paced_audio_cleared, audio_samples_dropped */
    MIRELO_LOOPBACK_SETTINGS = 4,      /* dict of the process-wide settings (secrets only as whether one is set) */
    MIRELO_LOOPBACK_CONFIGURATION = 5, /* dict of the loopback's tunables */
    MIRELO_LOOPBACK_CLOUD_STATES = 6,  /* list of dicts: each cloud's connection, room, channels, subscriptions */
    MIRELO_LOOPBACK_RETENTION = 7,     /* dict: journal {entries, payload_bytes, dropped} and failures
                                          {entries, bytes, dropped, cut}, counted since the last reset */
    MIRELO_LOOPBACK_LIMITS = 8         /* dict: the fixed limits by name, and under "configuration" each
                                          tunable's {min, max, default} */
};

MIRELO_API int mirelo_loopback_interface_version(void);

/* Writes the encoded snapshot into buffer when capacity suffices; *size receives its length. The
 * encoding is written straight into buffer: a snapshot costs its reader the buffer and no more. */
MIRELO_API int mirelo_loopback_snapshot(int kind, uint8_t* buffer, size_t capacity, size_t* size);

/* Raises the delegate operation `operation` (the SDK's name) with the encoded list of arguments
 * on the cloud's event thread and waits until it has run, at most timeout_seconds. Called on
 * that cloud's own event thread it queues the event and returns at once. Returns OK also when
 * the cloud was destroyed before the event ran. */
MIRELO_API int mirelo_loopback_emit(uint64_t cloud, const char* operation, const uint8_t* arguments,
                                    size_t length, double timeout_seconds);

/* The same, raising `count` identical events one after another and waiting for the last. A large
 * count is queued a few thousand events at a time, each batch once the one before the last has run,
 * so memory stays bounded; events not yet queued when the timeout passes are not raised. Called on
 * the cloud's own event thread, every event is queued at once. */
MIRELO_API int mirelo_loopback_emit_repeated(uint64_t cloud, const char* operation, const uint8_t* arguments,
                                             size_t length, uint32_t count, double timeout_seconds);

/* Waits until every event raised so far on every live cloud has been delivered (or dropped).
 * Called on an event thread, it does not wait for that thread's own cloud. */
MIRELO_API int mirelo_loopback_flush(double timeout_seconds);

/* Empties the journal and the failures, and zeroes their counts of dropped entries. */
MIRELO_API int mirelo_loopback_reset(void);

/* The next `count` calls of the cloud's operation return `result` without doing anything else. */
MIRELO_API int mirelo_loopback_inject(uint64_t cloud, const char* operation, int64_t result, uint32_t count);

/* Applies an encoded dict of tunables; BAD_ARGUMENTS, with nothing changed, names the offending
 * field in error (NUL-terminated, cut to error_capacity). */
MIRELO_API int mirelo_loopback_configure(const uint8_t* settings, size_t length, char* error, size_t error_capacity);

/* The reason for the calling thread's last OUT_OF_MEMORY or INTERNAL_ERROR, NUL-terminated and cut
 * to capacity; returns its full length (0 when no call of this thread failed so). */
MIRELO_API size_t mirelo_loopback_last_error(char* buffer, size_t capacity);

/* Failures on demand, for testing how callers cope with them. */
enum mirelo_loopback_fault {
    MIRELO_LOOPBACK_FAULT_SNAPSHOT_MEMORY = 0,   /* the next snapshot runs out of memory */
    MIRELO_LOOPBACK_FAULT_SNAPSHOT_INTERNAL = 1, /* the next snapshot fails with an internal error */
    MIRELO_LOOPBACK_FAULT_CLOCK_START = 2        /* the next start of the room service's clock thread fails */
};

/* Arms one fault for the next time its operation runs, in any thread. BAD_ARGUMENTS for an unknown
 * fault, or for FAULT_CLOCK_START once the clock runs (it starts with the process's first room
 * entry and runs for good). */
MIRELO_API int mirelo_loopback_fail_next(int fault);

#ifdef __cplusplus
}
#endif

#endif /* MIRELO_LOOPBACK_H */
