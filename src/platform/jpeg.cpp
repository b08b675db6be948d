#include "platform/jpeg.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace {

// libjpeg reports failures through a callback that must not return; it jumps back to the decoder.
// Everything that must survive the jump lives on the heap in this state, never in an automatic
// variable changed after setjmp.
struct DecodeState {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  std::jmp_buf failed{};
  char message[JMSG_LENGTH_MAX] = {};
  QImage image;
  bool created = false;
};

[[noreturn]] void FailDecode(j_common_ptr info) {
  auto* state = static_cast<DecodeState*>(info->client_data);
  (*info->err->format_message)(info, state->message);
  std::longjmp(state->failed, 1);
}

// Warnings (level -1) mean corrupt data, such as a file cut short: libjpeg would fill the rest
// with grey, which hides a broken picture. Treat them as failures; trace messages are dropped.
void EmitMessage(j_common_ptr info, int level) {
  if (level < 0) FailDecode(info);
}

}  // namespace

QImage DecodeJpeg(const QByteArray& bytes) {
  if (bytes.isEmpty()) throw EJpegError(QStringLiteral("JPEG picture is empty"));

  auto state = std::make_unique<DecodeState>();
  state->info.err = jpeg_std_error(&state->errors);
  state->errors.error_exit = FailDecode;
  state->errors.emit_message = EmitMessage;
  state->info.client_data = state.get();

  if (setjmp(state->failed) != 0) {
    if (state->created) jpeg_destroy_decompress(&state->info);
    throw EJpegError(QStringLiteral("JPEG picture cannot be decoded: %1")
                         .arg(QString::fromLocal8Bit(state->message)));
  }

  jpeg_create_decompress(&state->info);
  state->created = true;
  jpeg_mem_src(&state->info, reinterpret_cast<const unsigned char*>(bytes.constData()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&state->info, TRUE);
  const bool grey = state->info.jpeg_color_space == JCS_GRAYSCALE;
  state->info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&state->info);

  state->image = QImage(static_cast<int>(state->info.output_width),
                        static_cast<int>(state->info.output_height),
                        grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
  if (state->image.isNull()) {
    jpeg_destroy_decompress(&state->info);
    throw EJpegError(QStringLiteral("JPEG picture is too large"));
  }
  while (state->info.output_scanline < state->info.output_height) {
    JSAMPROW row = state->image.scanLine(static_cast<int>(state->info.output_scanline));
    jpeg_read_scanlines(&state->info, &row, 1);
  }
  jpeg_finish_decompress(&state->info);
  jpeg_destroy_decompress(&state->info);
  return std::move(state->image);
}

namespace {

QImage ReadJpeg(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw EJpegError(
        QStringLiteral("JPEG picture \"%1\" cannot be read: %2").arg(path, file.errorString()));
  }
  try {
    return DecodeJpeg(file.readAll());
  } catch (const EJpegError& failure) {
    throw EJpegError(QStringLiteral("%1 (\"%2\")").arg(failure.Message(), path));
  }
}

// The one picture decoded ahead: its path until it is taken, the thread, and what it left.
struct Ahead {
  std::mutex mutex;
  QString path;
  std::thread thread;
  QImage image;
  std::exception_ptr failure;
  ~Ahead() {
    if (thread.joinable()) thread.join();
  }
};

Ahead& TheAhead() {
  static Ahead ahead;
  return ahead;
}

}  // namespace

void DecodeJpegAhead(const QString& path) {
  Ahead& ahead = TheAhead();
  const std::lock_guard lock(ahead.mutex);
  if (!ahead.path.isEmpty() || ahead.thread.joinable()) return;
  ahead.path = path;
  ahead.thread = std::thread([&ahead, path] {
    // Only this thread writes these until it is joined.
    try {
      ahead.image = ReadJpeg(path);
    } catch (...) {
      ahead.failure = std::current_exception();
    }
  });
}

QImage LoadJpeg(const QString& path) {
  Ahead& ahead = TheAhead();
  {
    const std::lock_guard lock(ahead.mutex);
    if (!ahead.path.isEmpty() && ahead.path == path) {
      ahead.thread.join();
      ahead.path.clear();
      if (ahead.failure) std::rethrow_exception(std::exchange(ahead.failure, nullptr));
      return std::exchange(ahead.image, QImage());
    }
  }
  return ReadJpeg(path);
}
