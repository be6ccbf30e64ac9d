#include "decompressor.hpp"

#ifdef VARNEL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif
#ifdef VARNEL_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef VARNEL_HAVE_ZSTD
#include <zstd.h>
#endif
#ifdef VARNEL_HAVE_LZMA
#include <lzma.h>
#endif

#include <algorithm>
#include <climits>
#include <new>

namespace varnel {

namespace {

// The libraries count in unsigned int (zlib) or size_t; a refill never asks for more than this.
constexpr size_t kMaxStep = size_t{1} << 30;

std::string corrupt(const char* format, const char* reason) {
    return std::string("error decompressing ") + format + "-compressed dump file: " + reason;
}

#if defined(VARNEL_HAVE_ZLIB) && !defined(VARNEL_HAVE_ISAL)
// gzip members, one after another as `cat a.gz b.gz` makes them.
class GzipDecompressor final : public Decompressor {
public:
    GzipDecompressor(const GzipDecompressor&) = delete;
    GzipDecompressor& operator=(const GzipDecompressor&) = delete;
    GzipDecompressor() {
        if (inflateInit2(&stream_, 15 + 16) != Z_OK) throw std::bad_alloc();
    }
    ~GzipDecompressor() override { inflateEnd(&stream_); }

    long produce(const uint8_t* input, size_t input_size, size_t* used, uint8_t* output, size_t room,
                 bool) override {
        *used = 0;
        if (failed()) return 0;
        stream_.next_in = const_cast<Bytef*>(input);
        stream_.avail_in = static_cast<uInt>(std::min(input_size, kMaxStep));
        stream_.next_out = output;
        stream_.avail_out = static_cast<uInt>(std::min(room, kMaxStep));
        const uInt input_before = stream_.avail_in;
        const uInt room_before = stream_.avail_out;
        int status = input_before == 0 ? Z_BUF_ERROR : inflate(&stream_, Z_NO_FLUSH);
        *used = input_before - stream_.avail_in;
        long produced = static_cast<long>(room_before - stream_.avail_out);
        if (status == Z_STREAM_END) {
            boundary_ = true;
            inflateReset(&stream_);
        } else if (status == Z_OK || status == Z_BUF_ERROR) {
            if (*used != 0 || produced != 0) boundary_ = false;
        } else {
            failure_text_ = corrupt("gzip", stream_.msg != nullptr ? stream_.msg : "zlib error");
        }
        return produced;
    }
    bool at_boundary() const override { return boundary_; }
    const char* name() const override { return "gzip"; }

private:
    z_stream stream_{};
    bool boundary_ = false;
};
#endif

#ifdef VARNEL_HAVE_ISAL
// gzip through ISA-L's inflate, about twice zlib's speed on the same data; members one after
// another as with zlib.
class IsalGzipDecompressor final : public Decompressor {
public:
    IsalGzipDecompressor(const IsalGzipDecompressor&) = delete;
    IsalGzipDecompressor& operator=(const IsalGzipDecompressor&) = delete;
    ~IsalGzipDecompressor() override = default;
    IsalGzipDecompressor() { start_member(); }

    long produce(const uint8_t* input, size_t input_size, size_t* used, uint8_t* output, size_t room,
                 bool) override {
        *used = 0;
        if (failed() || input_size == 0) return 0;
        if (member_done_) start_member();
        state_.next_in = const_cast<uint8_t*>(input);
        state_.avail_in = static_cast<uint32_t>(std::min(input_size, kMaxStep));
        state_.next_out = output;
        state_.avail_out = static_cast<uint32_t>(std::min(room, kMaxStep));
        const uint32_t input_before = state_.avail_in;
        const uint32_t room_before = state_.avail_out;
        const int status = isal_inflate(&state_);
        *used = input_before - state_.avail_in;
        const long produced = static_cast<long>(room_before - state_.avail_out);
        if (status < 0) {
            failure_text_ = corrupt("gzip", reason(status));
        } else if (state_.block_state == ISAL_BLOCK_FINISH) {
            member_done_ = boundary_ = true;
        } else if (*used != 0 || produced != 0) {
            boundary_ = false;
        }
        return produced;
    }
    bool at_boundary() const override { return boundary_; }
    const char* name() const override { return "gzip"; }

private:
    void start_member() {
        isal_inflate_init(&state_);
        state_.crc_flag = ISAL_GZIP;
        member_done_ = false;
    }

    static const char* reason(int status) {
        switch (status) {
            case ISAL_INVALID_BLOCK: return "invalid block type";
            case ISAL_INVALID_SYMBOL: return "invalid code";
            case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
            case ISAL_INVALID_WRAPPER: return "incorrect header check";
            case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
            case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
            default: return "isa-l inflate error";
        }
    }

    inflate_state state_{};
    bool member_done_ = false;
    bool boundary_ = false;
};
#endif

#ifdef VARNEL_HAVE_ZSTD
class ZstdDecompressor final : public Decompressor {
public:
    ZstdDecompressor(const ZstdDecompressor&) = delete;
    ZstdDecompressor& operator=(const ZstdDecompressor&) = delete;
    ZstdDecompressor() : stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdDecompressor() override { ZSTD_freeDStream(stream_); }

    long produce(const uint8_t* input, size_t input_size, size_t* used, uint8_t* output, size_t room,
                 bool) override {
        *used = 0;
        if (failed()) return 0;
        ZSTD_inBuffer in{input, input_size, 0};
        ZSTD_outBuffer out{output, room, 0};
        size_t status = ZSTD_decompressStream(stream_, &out, &in);
        *used = in.pos;
        if (ZSTD_isError(status)) {
            failure_text_ = corrupt("zstd", ZSTD_getErrorName(status));
        }
        if (status == 0) {
            boundary_ = true;
        } else if (in.pos != 0 || out.pos != 0) {
            boundary_ = false;
        }
        return static_cast<long>(out.pos);
    }
    bool at_boundary() const override { return boundary_; }
    const char* name() const override { return "zstd"; }

private:
    ZSTD_DStream* stream_;
    bool boundary_ = false;
};
#endif

#ifdef VARNEL_HAVE_LZMA
class XzDecompressor final : public Decompressor {
public:
    XzDecompressor(const XzDecompressor&) = delete;
    XzDecompressor& operator=(const XzDecompressor&) = delete;
    XzDecompressor() {
        // Streams one after another, as `cat a.xz b.xz` makes them. The largest preset (-9) needs
        // 65 MiB to decompress; a file asking for more than four times that is refused rather than
        // trusted with the memory.
        if (lzma_stream_decoder(&stream_, uint64_t{256} << 20, LZMA_CONCATENATED) != LZMA_OK) throw std::bad_alloc();
    }
    ~XzDecompressor() override { lzma_end(&stream_); }

    long produce(const uint8_t* input, size_t input_size, size_t* used, uint8_t* output, size_t room,
                 bool input_ended) override {
        *used = 0;
        if (failed()) return 0;
        stream_.next_in = input;
        stream_.avail_in = input_size;
        stream_.next_out = output;
        stream_.avail_out = room;
        lzma_ret status = lzma_code(&stream_, input_ended ? LZMA_FINISH : LZMA_RUN);
        *used = input_size - stream_.avail_in;
        long produced = static_cast<long>(room - stream_.avail_out);
        switch (status) {
            case LZMA_STREAM_END: boundary_ = true; break;
            case LZMA_OK:
            case LZMA_BUF_ERROR: break;
            default: failure_text_ = corrupt("xz", reason(status)); break;
        }
        return produced;
    }
    bool at_boundary() const override { return boundary_; }
    const char* name() const override { return "xz"; }

private:
    static const char* reason(lzma_ret status) {
        switch (status) {
            case LZMA_MEM_ERROR: return "out of memory";
            case LZMA_MEMLIMIT_ERROR: return "the stream needs more memory than allowed";
            case LZMA_FORMAT_ERROR: return "not in the xz format";
            case LZMA_OPTIONS_ERROR: return "unsupported compression options";
            case LZMA_DATA_ERROR: return "compressed data is corrupt";
            default: return "liblzma error";
        }
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool boundary_ = false;
};
#endif

}  // namespace

std::unique_ptr<Decompressor> make_decompressor(Compression compression) {
    switch (compression) {
#if defined(VARNEL_HAVE_ISAL)
        case Compression::Gzip: return std::make_unique<IsalGzipDecompressor>();
#elif defined(VARNEL_HAVE_ZLIB)
        case Compression::Gzip: return std::make_unique<GzipDecompressor>();
#endif
#ifdef VARNEL_HAVE_ZSTD
        case Compression::Zstd: return std::make_unique<ZstdDecompressor>();
#endif
#ifdef VARNEL_HAVE_LZMA
        case Compression::Xz: return std::make_unique<XzDecompressor>();
#endif
        default: return nullptr;
    }
}

}  // namespace varnel
