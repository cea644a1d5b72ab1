// SPDX-License-Identifier: BSD-2-Clause
// Host-side fakes shared by every test: a lookup that supplies or withholds
// each name and logs the requests, a counting allocator that can fail its
// k-th call, a recording message sink, and a recording bufstream whose
// write_bytes can fail its k-th call.
#pragma once

#include <pcmpack.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fakes {

struct Message {
    std::string format;
    std::vector<int32_t> args;  // one per "%d" of the format
    bool operator==(const Message &other) const {
        return format == other.format && args == other.args;
    }
};

// How a Host hands its callbacks to the library: through its lookup (New,
// ChkSettings), or as a pcm_host record whose callbacks get the Host as
// their opaque pointer (NewWithHost, ChkSettingsWithHost).
enum class HostForm { lookup, record };

// The form a Host takes unless a test sets another: PCMPACK_TEST_HOST=record
// runs every encoder a test makes through new_encoder() in the record form.
HostForm default_host_form();

// The state behind the host functions. The lookup's functions carry no
// context pointer, so one Host is "current" at a time; constructing a Host
// makes it current, destroying it restores the previous. The record's
// callbacks reach their Host through the opaque pointer.
class Host {
public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    static Host &current();

    HostForm form;

    // Names the lookup answers with null; in the record form the matching
    // member ("malloc": alloc, "free": free, "err_printf": message) is null.
    std::set<std::string> withheld;
    // Every name the lookup was asked for, in order.
    std::vector<std::string> lookups;
    // Messages that reached "err_printf" / "wrn_printf" / "inf_printf".
    std::vector<Message> errors, warnings, infos;

    // Allocator: the k-th call (1-based) of "malloc" returns null; 0 = never.
    int fail_malloc_call = 0;
    int malloc_calls = 0;
    int free_calls = 0;
    std::vector<size_t> malloc_sizes;       // sizes asked for, in order
    std::map<void *, size_t> live_blocks;   // allocated and not yet freed
    std::vector<void *> freed_foreign;      // pointers "free" did not hand out

    func_lookup lookup() const;
    // The record form, built afresh from `withheld`.
    const pcm_host *record();

    // pcmOutAudioNew or pcmOutAudioNewWithHost, as `form` says.
    pcm_a_encoder *new_encoder(const pcm_a_settings *settings, int32_t input_flags,
                               int32_t frame_rate_code, int32_t sample_rate);

    // What the fakes do for either form.
    void *allocate(size_t size);
    void release(void *ptr);

    size_t live_count() const { return live_blocks.size(); }

private:
    Host *previous_;
    pcm_host record_{};
};

// A lookup that answers null for every name; counts its calls.
void *null_lookup(const char *name);
int null_lookup_calls();

// Reads the "%d" arguments of a format off a va_list.
Message read_message(const char *format, va_list args);

enum class EventKind { write, aux };

struct Event {
    EventKind kind;
    std::vector<uint8_t> data;  // write: the bytes asked to be written
    bool write_failed = false;  // write: the fake reported a short count
    aux_record aux{};           // aux: the record passed
    uint32_t aux_offset = 0, aux_id = 0, aux_size = 0;
};

// What a host got, in order, and the views of it the tests compare.
struct RecordedEvents {
    std::vector<Event> events;

    // Successful writes only, concatenated.
    std::vector<uint8_t> bytes() const;
    // Sizes of successful writes, in order.
    std::vector<size_t> write_sizes() const;
    std::vector<aux_record> aux_records() const;
};

// A bufstream that records every call. Pass `stream()` to pcmOutAudioInit.
class RecordingStream : public RecordedEvents {
public:
    RecordingStream();

    bufstream *stream() { return &bs_; }

    // The k-th write call (1-based) returns fail_result instead of its size;
    // 0 = never. fail_every_from: every write from that call on fails.
    int fail_write_call = 0;
    int fail_writes_from = 0;
    uint32_t fail_result = 0;

    int write_calls = 0;

private:
    static uint32_t write_bytes(bufstream *bs, const uint8_t *data, uint32_t size);
    static uint32_t auxinfo(bufstream *bs, uint32_t offset, uint32_t id, void *info,
                            uint32_t size);
    bufstream bs_;
};

// A frame sink that lends each frame a block of exactly the size asked (so
// that the sanitizer sees a write past it) and records what comes back as a
// write of the frame's bytes, then its aux_record: the events a bufstream
// would get with one write per frame. A frame the sink refuses, at its lend
// or its take, is recorded as a failed write of the size asked. Pass
// `sink()` to pcmOutAudioInitWithSink.
class LendingSink : public RecordedEvents {
public:
    LendingSink();
    ~LendingSink();
    LendingSink(const LendingSink &) = delete;
    LendingSink &operator=(const LendingSink &) = delete;

    const pcm_frame_sink *sink() const { return &sink_; }

    // The k-th lend (1-based) returns null, or a block one byte short of the
    // size asked; the k-th take refuses the frame. 0 = never.
    int refuse_lend_call = 0;
    int short_lend_call = 0;
    int refuse_take_call = 0;

    int lend_calls = 0;
    int take_calls = 0;
    // Blocks lent and not yet taken back; blocks taken back that were not
    // lent, or that came back with more bytes than lent; short blocks that
    // came back written.
    size_t outstanding() const { return lent_.size(); }
    int foreign_takes = 0;
    int overlong_frames = 0;
    int written_refusals = 0;

private:
    static uint8_t *lend(void *opaque, uint32_t size, uint32_t *lent);
    static int32_t take(void *opaque, uint8_t *data, const aux_record *record);
    std::map<uint8_t *, std::vector<uint8_t>> lent_;
    pcm_frame_sink sink_;
};

// How a host takes the library's frames: its bufstream (Init), or its frame
// sink lending the memory of each (InitWithSink).
enum class FrameRoute { bufstream, lent };

const char *route_name(FrameRoute route);

// Binds enc to the host's bufstream or frame sink, as route says, and
// returns what they received.
int32_t init_for(FrameRoute route, pcm_a_encoder *enc, RecordingStream &stream,
                 LendingSink &sink);

// A linear PCM encoder bound to a recording stream, with its own host; the
// frame rate code plays no part for these layers. enc is null when New or
// Init refused.
struct LpcmEncoder {
    Host host;
    RecordingStream out;
    pcm_a_encoder *enc = nullptr;

    LpcmEncoder(const pcm_a_settings &settings, int32_t sample_rate, int32_t input_flags = 0) {
        enc = host.new_encoder(&settings, input_flags, 0, sample_rate);
        if (enc && pcmOutAudioInit(enc, out.stream()) != 0) {
            pcmOutAudioFree(enc);
            enc = nullptr;
        }
    }
    ~LpcmEncoder() { pcmOutAudioFree(enc); }
    LpcmEncoder(const LpcmEncoder &) = delete;
    LpcmEncoder &operator=(const LpcmEncoder &) = delete;

    int32_t put(const std::vector<uint8_t> &bytes) {
        return pcmOutAudioPutBytes(enc, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
};

// Settings with every field given.
pcm_a_settings make_settings(int32_t channels, int32_t layer, int32_t quantization,
                             int32_t emphasis = 0, int32_t mute = 0,
                             int32_t dynamic_range = 128);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t count, uint32_t seed);

// The seed of a randomised test: PCMPACK_TEST_SEED when it is set, otherwise
// a fresh one from the system, so that runs keep exploring. The same value
// for every call within one test; a test that fails after asking for it
// prints "PCMPACK_TEST_SEED=<seed>", which replays it.
uint32_t test_seed();

std::string hex(const std::vector<uint8_t> &bytes);

// Encodes `input` in one PutBytes and flushes it, as a host that has all its
// audio at once; returns the stream's bytes. Records a test failure when the
// library refuses or reports anything.
std::vector<uint8_t> encode_in_one_call(const pcm_a_settings &settings, int32_t input_flags,
                                        int32_t frame_rate_code,
                                        const std::vector<uint8_t> &input);

// count bytes from `from`, or nothing when the stream is shorter.
std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, size_t from, size_t count);

// The aux_records of describe_events alone: what every route of the same
// stream shares (a bufstream may get a frame in several writes).
std::string describe_records(const std::vector<Event> &events);

// One line per stream call, for comparing whole call sequences at a glance:
// "W8" a write of 8 bytes, "W320!" a write the fake failed, "A320@45000" an
// aux_record {320, 45000}. An aux call with an offset other than 0, an id
// other than AUX_FRAME_INFO_ID or a size other than 16 is marked "?".
std::string describe_events(const std::vector<Event> &events);

}  // namespace fakes
