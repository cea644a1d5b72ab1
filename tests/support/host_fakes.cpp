// SPDX-License-Identifier: BSD-2-Clause
#include "support/host_fakes.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace fakes {
namespace {

Host *g_current = nullptr;
int g_null_lookup_calls = 0;

// The seed the running test asked for, if any; cleared as each test starts.
bool g_seed_drawn = false;
uint32_t g_seed = 0;

class SeedPrinter : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { g_seed_drawn = false; }
    void OnTestEnd(const testing::TestInfo &info) override {
        if (g_seed_drawn && info.result()->Failed()) {
            std::printf("%s.%s failed with PCMPACK_TEST_SEED=%u; set it to replay the run\n",
                        info.test_suite_name(), info.name(), static_cast<unsigned>(g_seed));
        }
    }
};

// Registered before main runs, so every test program that links the fakes
// prints the seed of a failing randomised test.
const bool g_seed_printer_registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new SeedPrinter);
    return true;
}();

void *host_malloc(size_t size) { return Host::current().allocate(size); }
void host_free(void *ptr) { Host::current().release(ptr); }

void record_into(std::vector<Message> &log, const char *format, va_list args) {
    log.push_back(read_message(format, args));
}

void host_err_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    record_into(Host::current().errors, format, args);
    va_end(args);
}

void host_wrn_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    record_into(Host::current().warnings, format, args);
    va_end(args);
}

void host_inf_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    record_into(Host::current().infos, format, args);
    va_end(args);
}

void *host_lookup(const char *name) {
    Host &host = Host::current();
    host.lookups.emplace_back(name);
    if (host.withheld.count(name)) return nullptr;
    const std::string n = name;
    if (n == "malloc") return reinterpret_cast<void *>(&host_malloc);
    if (n == "free") return reinterpret_cast<void *>(&host_free);
    if (n == "err_printf") return reinterpret_cast<void *>(&host_err_printf);
    if (n == "wrn_printf") return reinterpret_cast<void *>(&host_wrn_printf);
    if (n == "inf_printf") return reinterpret_cast<void *>(&host_inf_printf);
    return nullptr;
}

void *record_alloc(void *opaque, size_t size) { return static_cast<Host *>(opaque)->allocate(size); }
void record_free(void *opaque, void *ptr) { static_cast<Host *>(opaque)->release(ptr); }

void record_message(void *opaque, const char *format, ...) {
    va_list args;
    va_start(args, format);
    record_into(static_cast<Host *>(opaque)->errors, format, args);
    va_end(args);
}

}  // namespace

HostForm default_host_form() {
    const char *form = std::getenv("PCMPACK_TEST_HOST");
    return form && std::strcmp(form, "record") == 0 ? HostForm::record : HostForm::lookup;
}

Host::Host() : form(default_host_form()), previous_(g_current) { g_current = this; }
Host::~Host() { g_current = previous_; }

Host &Host::current() {
    if (!g_current) std::abort();  // a test called a host function without a Host
    return *g_current;
}

func_lookup Host::lookup() const { return host_lookup; }

const pcm_host *Host::record() {
    record_.alloc = withheld.count("malloc") ? nullptr : record_alloc;
    record_.free = withheld.count("free") ? nullptr : record_free;
    record_.message = withheld.count("err_printf") ? nullptr : record_message;
    record_.opaque = this;
    return &record_;
}

pcm_a_encoder *Host::new_encoder(const pcm_a_settings *settings, int32_t input_flags,
                                 int32_t frame_rate_code, int32_t sample_rate) {
    if (form == HostForm::record) {
        return pcmOutAudioNewWithHost(record(), settings, input_flags, frame_rate_code,
                                      sample_rate);
    }
    return pcmOutAudioNew(lookup(), settings, input_flags, frame_rate_code, sample_rate);
}

void *Host::allocate(size_t size) {
    ++malloc_calls;
    malloc_sizes.push_back(size);
    if (malloc_calls == fail_malloc_call) return nullptr;
    void *block = std::malloc(size ? size : 1);
    live_blocks[block] = size;
    return block;
}

void Host::release(void *ptr) {
    ++free_calls;
    auto it = live_blocks.find(ptr);
    if (it == live_blocks.end()) {
        freed_foreign.push_back(ptr);
        return;
    }
    live_blocks.erase(it);
    std::free(ptr);
}

void *null_lookup(const char *) {
    ++g_null_lookup_calls;
    return nullptr;
}

int null_lookup_calls() { return g_null_lookup_calls; }

Message read_message(const char *format, va_list args) {
    Message message{format, {}};
    for (const char *p = std::strstr(format, "%d"); p; p = std::strstr(p + 2, "%d")) {
        message.args.push_back(va_arg(args, int32_t));
    }
    return message;
}

RecordingStream::RecordingStream() : bs_{} {
    bs_.write_bytes = write_bytes;
    bs_.auxinfo = auxinfo;
    bs_.host_slot1 = this;
}

uint32_t RecordingStream::write_bytes(bufstream *bs, const uint8_t *data, uint32_t size) {
    auto *self = static_cast<RecordingStream *>(bs->host_slot1);
    ++self->write_calls;
    Event event{EventKind::write, std::vector<uint8_t>(data, data + size)};
    const bool fail = self->write_calls == self->fail_write_call ||
                      (self->fail_writes_from != 0 && self->write_calls >= self->fail_writes_from);
    event.write_failed = fail;
    self->events.push_back(std::move(event));
    return fail ? self->fail_result : size;
}

uint32_t RecordingStream::auxinfo(bufstream *bs, uint32_t offset, uint32_t id, void *info,
                                  uint32_t size) {
    auto *self = static_cast<RecordingStream *>(bs->host_slot1);
    Event event{EventKind::aux, {}};
    std::memcpy(&event.aux, info, sizeof(aux_record));
    event.aux_offset = offset;
    event.aux_id = id;
    event.aux_size = size;
    self->events.push_back(std::move(event));
    return 0;
}

std::vector<uint8_t> RecordedEvents::bytes() const {
    std::vector<uint8_t> all;
    for (const Event &e : events) {
        if (e.kind == EventKind::write && !e.write_failed) {
            all.insert(all.end(), e.data.begin(), e.data.end());
        }
    }
    return all;
}

std::vector<size_t> RecordedEvents::write_sizes() const {
    std::vector<size_t> sizes;
    for (const Event &e : events) {
        if (e.kind == EventKind::write && !e.write_failed) sizes.push_back(e.data.size());
    }
    return sizes;
}

std::vector<aux_record> RecordedEvents::aux_records() const {
    std::vector<aux_record> records;
    for (const Event &e : events) {
        if (e.kind == EventKind::aux) records.push_back(e.aux);
    }
    return records;
}

// Fills every lent block, so that a refused block shows whether it was
// written.
constexpr uint8_t kLentFill = 0xA5;

LendingSink::LendingSink() : sink_{lend, take, this} {}

LendingSink::~LendingSink() = default;

uint8_t *LendingSink::lend(void *opaque, uint32_t size, uint32_t *lent) {
    auto *self = static_cast<LendingSink *>(opaque);
    ++self->lend_calls;
    if (self->lend_calls == self->refuse_lend_call) {
        Event event{EventKind::write, std::vector<uint8_t>(size)};
        event.write_failed = true;
        self->events.push_back(std::move(event));
        return nullptr;
    }
    const uint32_t given = self->lend_calls == self->short_lend_call ? size - 1 : size;
    std::vector<uint8_t> block(given, kLentFill);
    uint8_t *data = block.data();
    *lent = given;
    self->lent_.emplace(data, std::move(block));
    return data;
}

int32_t LendingSink::take(void *opaque, uint8_t *data, const aux_record *record) {
    auto *self = static_cast<LendingSink *>(opaque);
    ++self->take_calls;
    const auto block = self->lent_.find(data);
    if (block == self->lent_.end()) {
        ++self->foreign_takes;
        return 1;
    }
    const std::vector<uint8_t> bytes = std::move(block->second);
    self->lent_.erase(block);
    if (record == nullptr) {
        Event event{EventKind::write, std::vector<uint8_t>(bytes.size() + 1)};
        event.write_failed = true;
        self->events.push_back(std::move(event));
        for (uint8_t b : bytes) self->written_refusals += b != kLentFill;
        return 0;
    }
    if (record->byte_count > bytes.size()) {
        ++self->overlong_frames;
        return 1;
    }
    Event write{EventKind::write, std::vector<uint8_t>(bytes.begin(),
                                                       bytes.begin() + record->byte_count)};
    write.write_failed = self->take_calls == self->refuse_take_call;
    self->events.push_back(std::move(write));
    if (self->take_calls == self->refuse_take_call) return 1;
    Event aux{EventKind::aux, {}};
    aux.aux = *record;
    aux.aux_id = AUX_FRAME_INFO_ID;
    aux.aux_size = sizeof(aux_record);
    self->events.push_back(std::move(aux));
    return 0;
}

const char *route_name(FrameRoute route) {
    return route == FrameRoute::bufstream ? "bufstream" : "lent frames";
}

int32_t init_for(FrameRoute route, pcm_a_encoder *enc, RecordingStream &stream,
                 LendingSink &sink) {
    return route == FrameRoute::bufstream ? pcmOutAudioInit(enc, stream.stream())
                                           : pcmOutAudioInitWithSink(enc, sink.sink());
}

pcm_a_settings make_settings(int32_t channels, int32_t layer, int32_t quantization,
                             int32_t emphasis, int32_t mute, int32_t dynamic_range) {
    return pcm_a_settings{channels - 1, layer, emphasis, mute, quantization, dynamic_range};
}

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(count);
    for (auto &b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

uint32_t test_seed() {
    if (!g_seed_drawn) {
        const char *text = std::getenv("PCMPACK_TEST_SEED");
        g_seed = text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                      : std::random_device{}();
        g_seed_drawn = true;
    }
    return g_seed;
}

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string describe_events(const std::vector<Event> &events) {
    std::string out;
    for (const Event &e : events) {
        if (!out.empty()) out += ' ';
        if (e.kind == EventKind::write) {
            out += 'W' + std::to_string(e.data.size());
            if (e.write_failed) out += '!';
            continue;
        }
        out += 'A' + std::to_string(e.aux.byte_count) + '@' + std::to_string(e.aux.timestamp);
        if (e.aux_offset != 0 || e.aux_id != AUX_FRAME_INFO_ID || e.aux_size != 16) out += '?';
    }
    return out;
}

std::string describe_records(const std::vector<Event> &events) {
    std::vector<Event> records;
    for (const Event &e : events) {
        if (e.kind == EventKind::aux) records.push_back(e);
    }
    return describe_events(records);
}

std::vector<uint8_t> encode_in_one_call(const pcm_a_settings &settings, int32_t input_flags,
                                        int32_t frame_rate_code,
                                        const std::vector<uint8_t> &input) {
    Host host;
    RecordingStream out;
    pcm_a_encoder *enc = host.new_encoder(&settings, input_flags, frame_rate_code, 48000);
    EXPECT_NE(enc, nullptr);
    if (!enc) return {};
    EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), static_cast<uint32_t>(input.size())), 0);
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_TRUE(host.errors.empty());
    return out.bytes();
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
    if (from + count > bytes.size()) return {};
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

}  // namespace fakes
