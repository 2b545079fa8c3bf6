// Readers of the virus data stream and its three carriers (see stream.h).
#include "virusdata/stream.h"

#include <new>

namespace virusdata {

namespace {

// Records why reading stopped; a damaged carrier's own reason is kept.
int fail(StreamSource& src, int code, const char* why) {
  if (src.failure_reason == nullptr) src.failure_reason = why;
  return code;
}
int damaged(StreamSource& src, const char* why) {
  src.failure_reason = why;
  return kStreamDamaged;
}

bool is_blank(int c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One hexadecimal digit, skipping blanks; -1 at the end or on any other character (which
// has then been consumed, as a character reader would have).
int hex_digit(RawInput& in) {
  for (;;) {
    const int c = raw_next(in);
    if (c < 0) return -1;
    if (is_blank(c)) continue;
    return hex_value(c);
  }
}

// One byte written as two digits, the first high; -1 when either digit is missing.
int hex_byte(RawInput& in) {
  const int hi = hex_digit(in);
  if (hi < 0) return -1;
  const int lo = hex_digit(in);
  if (lo < 0) return -1;
  return hi << 4 | lo;
}

int identity_byte(StreamSource& src) {
  for (;;) {
    if (src.block_counter == -1) {
      const int count = hex_byte(src.raw);
      if (count < 0) return kStreamEnd;  // no further block: the text ends cleanly
      src.block_counter = count;
      src.running_check = 0;
      continue;
    }
    const int v = hex_byte(src.raw);
    if (v < 0) return damaged(src, "text ends, or holds a non-hexadecimal character, inside a block");
    if (src.block_counter > 0) {
      const uint8_t b = uint8_t(v ^ identity_key_byte(src.block_counter));
      --src.block_counter;
      src.running_check ^= b;
      return b;
    }
    if (uint8_t(v) != src.running_check) return damaged(src, "check byte differs from the block's data");
    src.block_counter = -1;
  }
}

int builtin_byte(StreamSource& src) {
  if (src.position >= src.stream_length) return kStreamEnd;
  const uint32_t chunk = src.position / src.chunk_size;
  const uint32_t offset = src.position % src.chunk_size;
  const uint8_t b = src.block->chunks[chunk][offset];
  const uint8_t key = builtin_key_byte(src.stream_length, src.position);
  ++src.position;
  return b ^ key;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

int raw_next(RawInput& in) {
  while (in.pos >= in.window.size()) {
    if (!in.refill) return kStreamEnd;
    std::span<const uint8_t> next;
    if (!in.refill(next)) {
      in.window = {};
      in.pos = 0;
      in.refill = nullptr;  // the end stays the end
      return kStreamEnd;
    }
    in.window = next;
    in.pos = 0;
  }
  ++in.consumed;
  return in.window[in.pos++];
}

int open_builtin_source(const BuiltinBlock& block, StreamSource& out) {
  out = StreamSource{};
  out.kind = SourceKind::kBuiltin;
  if (block.header == nullptr) return damaged(out, "block header missing");
  const uint32_t length = le32(block.header + 16);
  const uint32_t chunk_size = le32(block.header + 20);
  if (chunk_size == 0) return damaged(out, "chunk size 0");
  // Every byte of the declared stream must lie in a chunk that exists.
  const uint64_t room = uint64_t(chunk_size) * block.chunk_count;
  if (length > room) return damaged(out, "stream longer than its chunks");
  if (length > 0 && block.chunks == nullptr) return damaged(out, "chunk table missing");
  const uint64_t used_chunks = (uint64_t(length) + chunk_size - 1) / chunk_size;
  for (uint64_t i = 0; i < used_chunks; ++i)
    if (block.chunks[i] == nullptr) return damaged(out, "chunk missing");
  out.block = &block;
  out.stream_length = length;
  out.chunk_size = chunk_size;
  return 0;
}

StreamSource memory_source(SourceKind kind, std::span<const uint8_t> bytes) {
  StreamSource src;
  src.kind = kind;
  src.raw.window = bytes;
  return src;
}

int next_stream_byte(StreamSource& src) {
  int r;
  switch (src.kind) {
    case SourceKind::kBuiltin:
      r = builtin_byte(src);
      break;
    case SourceKind::kVdl:
      r = raw_next(src.raw);
      break;
    default:
      r = identity_byte(src);
      break;
  }
  src.failure_offset = src.kind == SourceKind::kBuiltin ? src.position : src.raw.consumed;
  return r;
}

int read_stream(StreamSource& src, const StreamSink& sink) {
  try {
    if (next_stream_byte(src) != 0x00) return fail(src, kStreamIncompatible, "format header is not 00 01");
    if (next_stream_byte(src) != 0x01) return fail(src, kStreamIncompatible, "format header is not 00 01");
    for (int32_t entry = 0;; ++entry) {
      if (sink.before_entry) sink.before_entry(entry);
      std::string name;
      for (;;) {
        const int c = next_stream_byte(src);
        if (c < 0) {
          // An end before the first name byte completes the stream; anything else is damage.
          if (c == kStreamEnd && name.empty()) return kStreamOk;
          return fail(src, kStreamCorrupt, "data ends inside a name");
        }
        if (c == 0) break;
        if (name.size() == kMaxEntryName) return fail(src, kStreamCorrupt, "name longer than 15 bytes");
        name.push_back(char(c));
      }
      if (sink.on_name) {
        if (const int r = sink.on_name(name); r != 0) return r;
      }
      const int count = next_stream_byte(src);
      if (count < 0) return fail(src, kStreamCorrupt, "data ends before the record count");
      for (int n = 0; n < count; ++n) {
        const int lo = next_stream_byte(src);
        if (lo < 0) return fail(src, kStreamCorrupt, "data ends inside a record length");
        const int hi = next_stream_byte(src);
        if (hi < 0) return fail(src, kStreamCorrupt, "data ends inside a record length");
        const size_t length = size_t(lo) | size_t(hi) << 8;
        if (length == 0) return fail(src, kStreamCorrupt, "record length 0");
        std::vector<uint8_t> program;
        const int first = next_stream_byte(src);
        if (first < 0) return fail(src, kStreamCorrupt, "data ends inside a record");
        // Records keyed by their first bytes must hold those key bytes.
        if ((first == 0xFB || first == 0x03) && length < 3)
          return fail(src, kStreamCorrupt, "0xFB or 0x03 record shorter than 3 bytes");
        if (first == 0xFC && length < 2) return fail(src, kStreamCorrupt, "0xFC record shorter than 2 bytes");
        program.push_back(uint8_t(first));
        // Grows only with bytes that actually arrive, so a false length cannot make it
        // allocate what the carrier does not hold.
        while (program.size() < length) {
          const int b = next_stream_byte(src);
          if (b < 0) return fail(src, kStreamCorrupt, "data ends inside a record");
          program.push_back(uint8_t(b));
        }
        if (sink.on_record) {
          if (const int r = sink.on_record(name, std::move(program)); r != 0) return r;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(src, kStreamNoMemory, "out of memory");
  }
}

int descramble_builtin(const BuiltinBlock& block, std::vector<uint8_t>& out) {
  out.clear();
  StreamSource src;
  if (open_builtin_source(block, src) != 0) return kStreamDamaged;
  out.reserve(src.stream_length);
  for (int b; (b = next_stream_byte(src)) >= 0;) out.push_back(uint8_t(b));
  return 0;
}

int decode_identity_text(std::span<const uint8_t> text, std::vector<uint8_t>& out, size_t& failure_offset,
                         const char** reason) {
  out.clear();
  StreamSource src = memory_source(SourceKind::kIdentity, text);
  int b;
  while ((b = next_stream_byte(src)) >= 0) out.push_back(uint8_t(b));
  failure_offset = size_t(src.failure_offset);
  if (reason) *reason = src.failure_reason;
  return b == kStreamEnd ? 0 : kStreamDamaged;
}

int split_stream(std::span<const uint8_t> stream, std::vector<StreamEntry>& out, const char** reason) {
  out.clear();
  StreamSource src = memory_source(SourceKind::kVdl, stream);
  size_t complete = 0;  // entries read to their end
  StreamSink sink;
  sink.before_entry = [&](int32_t) { complete = out.size(); };
  sink.on_name = [&](const std::string& name) {
    out.push_back(StreamEntry{name, {}});
    return 0;
  };
  sink.on_record = [&](const std::string&, std::vector<uint8_t>&& program) {
    out.back().records.push_back(std::move(program));
    return 0;
  };
  const int r = read_stream(src, sink);
  if (r != kStreamOk) out.resize(complete);
  if (reason) *reason = src.failure_reason;
  return r;
}

}  // namespace virusdata
