// JPEG through libjpeg-turbo.
//
// libjpeg reports a fatal error by calling error_exit, which must not return.
// We leave through longjmp, and contain it: setjmp is called only in
// run_decode and run_encode, whose locals are all trivially destructible and
// whose state lives in a plain job record, and every frame between them and
// the longjmp belongs to libjpeg (C). No C++ object with a destructor is ever
// jumped over; the callers release what the job holds after the run.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <jpeglib.h>
#include <jerror.h>

#include "foundation/platform/shared_lib.hpp"
#include "io/image_codec.hpp"

namespace kro::image_codec {

namespace {

#define JPEG_CALLS(X)                                                                                \
    X(jpeg_CreateCompress) X(jpeg_CreateDecompress) X(jpeg_destroy_compress) X(jpeg_destroy_decompress) \
    X(jpeg_finish_compress) X(jpeg_finish_decompress) X(jpeg_mem_dest) X(jpeg_mem_src) X(jpeg_read_header) \
    X(jpeg_read_scanlines) X(jpeg_set_defaults) X(jpeg_set_quality) X(jpeg_start_compress)            \
    X(jpeg_start_decompress) X(jpeg_std_error) X(jpeg_write_scanlines)
KRO_SHARED_LIB(JpegCalls, jpeg, "libjpeg.so.62", JPEG_CALLS)

struct ErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings are not printed. Entropy data that ends early or does not decode
// is a corrupt file for us, though libjpeg would fill the rest of the image
// with grey: we stop at once, which also keeps a tiny file that claims a huge
// image from costing a pass over every pixel it lacks.
void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    int code = cinfo->err->msg_code;
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
        code == JWRN_ARITH_BAD_CODE || code == JWRN_MUST_RESYNC)
        on_error(cinfo);
    cinfo->err->num_warnings++;
}

// Each scan of a progressive file is a pass over the whole image, and a scan
// can cover it in a few bytes: a file of many scans is refused, as no encoder
// writes anywhere near this many.
constexpr int MAX_SCANS = 500;

void on_progress(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > MAX_SCANS) on_error(cinfo);
}

void no_output(j_common_ptr) {}

void install(ErrorManager* err, const JpegCalls& lib) {
    lib.jpeg_std_error(&err->pub);
    err->pub.error_exit = on_error;
    err->pub.emit_message = on_message;
    err->pub.output_message = no_output;
}

inline uint8_t mul255(uint32_t a, uint32_t b) { return uint8_t((a * b + 127) / 255); }

struct DecodeJob {
    ErrorManager err;
    jpeg_progress_mgr progress;
    jpeg_decompress_struct cinfo;
    const uint8_t* data;
    size_t size;
    Raster* raster;    // taken by the caller on success, freed by it on failure
    uint8_t* cmyk;     // a scanline of CMYK samples (malloc)
};
static_assert(std::is_trivially_destructible_v<DecodeJob>);

bool run_decode(DecodeJob* job, const JpegCalls& lib) {
    job->cinfo.err = &job->err.pub;
    install(&job->err, lib);
    if (setjmp(job->err.jump)) {
        lib.jpeg_destroy_decompress(&job->cinfo);
        return false;
    }
    lib.jpeg_CreateDecompress(&job->cinfo, JPEG_LIB_VERSION, sizeof job->cinfo);
    job->progress.progress_monitor = on_progress;
    job->cinfo.progress = &job->progress;
    lib.jpeg_mem_src(&job->cinfo, job->data, static_cast<unsigned long>(job->size));
    if (lib.jpeg_read_header(&job->cinfo, TRUE) != JPEG_HEADER_OK ||
        !size_ok(job->cinfo.image_width, job->cinfo.image_height)) {
        lib.jpeg_destroy_decompress(&job->cinfo);
        return false;
    }
    bool cmyk = job->cinfo.jpeg_color_space == JCS_CMYK || job->cinfo.jpeg_color_space == JCS_YCCK;
    job->cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    job->raster = new_raster(job->cinfo.image_width, job->cinfo.image_height);
    if (!job->raster) {
        lib.jpeg_destroy_decompress(&job->cinfo);
        return false;
    }
    lib.jpeg_start_decompress(&job->cinfo);
    uint32_t w = uint32_t(job->raster->width);
    if (job->cinfo.output_width != w || job->cinfo.output_height != uint32_t(job->raster->height) ||
        job->cinfo.output_components != 4) {
        lib.jpeg_destroy_decompress(&job->cinfo);
        return false;
    }
    if (cmyk) {
        job->cmyk = static_cast<uint8_t*>(std::malloc(size_t(w) * 4));
        if (!job->cmyk) {
            lib.jpeg_destroy_decompress(&job->cinfo);
            return false;
        }
    }
    // Adobe's writers store CMYK inverted
    bool inverted = job->cinfo.saw_Adobe_marker;
    while (job->cinfo.output_scanline < job->cinfo.output_height) {
        uint32_t y = job->cinfo.output_scanline;
        uint32_t* out = job->raster->pixels() + size_t(y) * w;
        JSAMPROW row = cmyk ? job->cmyk : reinterpret_cast<JSAMPROW>(out);
        if (lib.jpeg_read_scanlines(&job->cinfo, &row, 1) != 1) {
            lib.jpeg_destroy_decompress(&job->cinfo);
            return false;
        }
        if (!cmyk) continue;
        for (uint32_t x = 0; x < w; x++) {
            const uint8_t* s = job->cmyk + x * 4;
            uint32_t c = s[0], m = s[1], ye = s[2], k = s[3];
            if (!inverted) c = 255 - c, m = 255 - m, ye = 255 - ye, k = 255 - k;
            out[x] = 0xFF000000u | uint32_t(mul255(c, k)) << 16 | uint32_t(mul255(m, k)) << 8 | mul255(ye, k);
        }
    }
    lib.jpeg_finish_decompress(&job->cinfo);
    lib.jpeg_destroy_decompress(&job->cinfo);
    return true;
}

struct EncodeJob {
    ErrorManager err;
    jpeg_compress_struct cinfo;
    const uint32_t* pixels;
    int32_t width, height;
    unsigned char* memory;  // the output, from libjpeg's malloc; freed by the caller
    unsigned long memory_size;
};
static_assert(std::is_trivially_destructible_v<EncodeJob>);

bool run_encode(EncodeJob* job, const JpegCalls& lib) {
    job->cinfo.err = &job->err.pub;
    install(&job->err, lib);
    if (setjmp(job->err.jump)) {
        lib.jpeg_destroy_compress(&job->cinfo);
        return false;
    }
    lib.jpeg_CreateCompress(&job->cinfo, JPEG_LIB_VERSION, sizeof job->cinfo);
    lib.jpeg_mem_dest(&job->cinfo, &job->memory, &job->memory_size);
    job->cinfo.image_width = JDIMENSION(job->width);
    job->cinfo.image_height = JDIMENSION(job->height);
    job->cinfo.input_components = 4;
    job->cinfo.in_color_space = JCS_EXT_BGRX;  // our pixel words, alpha ignored
    lib.jpeg_set_defaults(&job->cinfo);
    lib.jpeg_set_quality(&job->cinfo, 90, TRUE);
    lib.jpeg_start_compress(&job->cinfo, TRUE);
    while (job->cinfo.next_scanline < job->cinfo.image_height) {
        const uint32_t* in = job->pixels + size_t(job->cinfo.next_scanline) * uint32_t(job->width);
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(in));  // only read
        lib.jpeg_write_scanlines(&job->cinfo, &row, 1);
    }
    lib.jpeg_finish_compress(&job->cinfo);
    lib.jpeg_destroy_compress(&job->cinfo);
    return true;
}

}  // namespace

Raster* decode_jpeg(const uint8_t* data, size_t size) {
    const JpegCalls& lib = jpeg();
    auto* job = static_cast<DecodeJob*>(std::calloc(1, sizeof(DecodeJob)));
    if (!job) return nullptr;
    job->data = data;
    job->size = size;
    bool ok = run_decode(job, lib);
    Raster* r = job->raster;
    std::free(job->cmyk);
    std::free(job);
    if (!ok) {
        free_raster(r);
        return nullptr;
    }
    return r;
}

bool encode_jpeg(const uint32_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
    const JpegCalls& lib = jpeg();
    auto* job = static_cast<EncodeJob*>(std::calloc(1, sizeof(EncodeJob)));
    if (!job) return false;
    job->pixels = pixels;
    job->width = width;
    job->height = height;
    bool ok = run_encode(job, lib);
    if (ok && job->memory) out.assign(job->memory, job->memory + job->memory_size);
    std::free(job->memory);
    std::free(job);
    return ok && !out.empty();
}

}  // namespace kro::image_codec
