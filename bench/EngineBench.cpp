// Compares the engine with the same work done by a minimal loop of plain
// library calls: decode an MPEG-4 clip, scale it to half size, encode it
// with MPEG-4 again and mux it into MP4. Prints both wall times; the ratio
// (engine / plain) comes last.
#include "avbind/FFLoad.h"
#include "avbind/FFLog.h"
#include "engine/Engine.h"
#include "tests/support/MediaFixtures.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

using namespace avbind;

namespace {

constexpr int Width = 640, Height = 480, OutWidth = 320, OutHeight = 240;

void Check(int ret, const char* what) {
    if (ret < 0) throw std::runtime_error(what);
}

// The plain loop: one decoder, one scaler, one encoder, one muxer.
void PlainConversion(const std::string& in, const std::string& out) {
    AVFormatContext* raw = nullptr;
    Check(avformat.avformat_open_input(&raw, in.c_str(), nullptr, nullptr), "open input");
    TAVInputContextPtr ic(raw);
    Check(avformat.avformat_find_stream_info(raw, nullptr), "stream info");
    const int index = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    Check(index, "video stream");
    AVStream* ist = raw->streams[index];
    const AVCodec* decoder = avcodec.avcodec_find_decoder(ist->codecpar->codec_id);
    TAVCodecContextPtr dec(avcodec.avcodec_alloc_context3(decoder));
    avcodec.avcodec_parameters_to_context(dec.get(), ist->codecpar);
    Check(avcodec.avcodec_open2(dec.get(), decoder, nullptr), "open decoder");

    AVFormatContext* ocRaw = nullptr;
    Check(avformat.avformat_alloc_output_context2(&ocRaw, nullptr, nullptr, out.c_str()), "output");
    std::unique_ptr<AVFormatContext, TAVFormatContextDeleter> oc(ocRaw);
    const AVCodec* encoder = avcodec.avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    TAVCodecContextPtr enc(avcodec.avcodec_alloc_context3(encoder));
    enc->width = OutWidth;
    enc->height = OutHeight;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, 25};
    enc->framerate = AVRational{25, 1};
    enc->bit_rate = 400000;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec.avcodec_open2(enc.get(), encoder, nullptr), "open encoder");
    AVStream* ost = avformat.avformat_new_stream(oc.get(), nullptr);
    avcodec.avcodec_parameters_from_context(ost->codecpar, enc.get());
    ost->time_base = enc->time_base;
    Check(avformat.avio_open2(&oc->pb, out.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), "create output");
    Check(avformat.avformat_write_header(oc.get(), nullptr), "header");

    TSwsContextPtr sws(swscale.sws_getContext(dec->width, dec->height, dec->pix_fmt, OutWidth, OutHeight,
                                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    TAVFramePtr frame(avutil.av_frame_alloc()), scaled(avutil.av_frame_alloc());
    scaled->width = OutWidth;
    scaled->height = OutHeight;
    scaled->format = AV_PIX_FMT_YUV420P;
    Check(avutil.av_frame_get_buffer(scaled.get(), 0), "picture");
    TAVPacketPtr pkt(avcodec.av_packet_alloc()), opkt(avcodec.av_packet_alloc());
    std::int64_t next = 0;
    auto encode = [&](AVFrame* f) {
        avcodec.avcodec_send_frame(enc.get(), f);
        while (avcodec.avcodec_receive_packet(enc.get(), opkt.get()) >= 0) {
            avcodec.av_packet_rescale_ts(opkt.get(), enc->time_base, ost->time_base);
            opkt->stream_index = 0;
            Check(avformat.av_interleaved_write_frame(oc.get(), opkt.get()), "write");
        }
    };
    auto drainDecoder = [&] {
        while (avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            avutil.av_frame_make_writable(scaled.get());
            swscale.sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, scaled->data,
                              scaled->linesize);
            scaled->pts = next++;
            encode(scaled.get());
            avutil.av_frame_unref(frame.get());
        }
    };
    while (avformat.av_read_frame(raw, pkt.get()) >= 0) {
        if (pkt->stream_index == index) {
            avcodec.avcodec_send_packet(dec.get(), pkt.get());
            drainDecoder();
        }
        avcodec.av_packet_unref(pkt.get());
    }
    avcodec.avcodec_send_packet(dec.get(), nullptr);
    drainDecoder();
    encode(nullptr);
    Check(avformat.av_write_trailer(oc.get()), "trailer");
    avformat.avio_closep(&oc->pb);
}

void EngineConversion(const std::string& in, const std::string& out) {
    engine::TCustomFFmpeg e(2);
    e.SetVerbose(-1);
    if (!e.OpenInputFile(in)) throw std::runtime_error(e.LastErrMsg());
    e.SetExtOption("vcodec", "mpeg4");
    e.SetExtOption("s", "320x240");
    e.SetExtOption("b", "400k");
    e.SetExtOption("an", "");
    if (e.OpenOutputFile(out, false) < 0) throw std::runtime_error(e.LastErrMsg());
    e.StartConvert(false);
    if (!e.Finished()) throw std::runtime_error(e.FatalMessage());
}

template <class F>
double BestSeconds(int runs, F&& work) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 10;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 3;
    TFFBinding binding;
    if (!FFLoader().Load(EncoderLibraries)) {
        std::fprintf(stderr, "%s\n", FFLoader().LastErrMsg().c_str());
        return 1;
    }
    FFLogger().SetLogLevel(llError);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zconv-bench";
    std::filesystem::create_directories(dir);
    const std::string source = (dir / "source.mkv").string();
    zctest::TMediaRecipe mediaRecipe;
    mediaRecipe.Format = "matroska";
    mediaRecipe.Audio = false;
    mediaRecipe.Width = Width;
    mediaRecipe.Height = Height;
    mediaRecipe.Seconds = seconds;
    std::string error;
    if (!zctest::WriteTestMedia(source, mediaRecipe, error)) {
        std::fprintf(stderr, "cannot write the source: %s\n", error.c_str());
        return 1;
    }
    try {
        const double plain = BestSeconds(runs, [&] { PlainConversion(source, (dir / "plain.mp4").string()); });
        const double eng = BestSeconds(runs, [&] { EngineConversion(source, (dir / "engine.mp4").string()); });
        std::printf("conversion: %.0f s of %dx%d MPEG-4 -> %dx%d MPEG-4 in MP4, best of %d runs\n", seconds, Width,
                    Height, OutWidth, OutHeight, runs);
        std::printf("plain library loop: %.3f s\n", plain);
        std::printf("engine:             %.3f s\n", eng);
        std::printf("ratio engine/plain: %.3f\n", eng / plain);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
