#include "run/run.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "pixelsets/partition.h"
#include "pixelsets/source_list.h"
#include "pixelsets/storage.h"
#include "run/dialogue.h"

namespace particion {
namespace {

const char kEndOfInput[] =
    "Fin de la entrada: no se ha escrito ningun fichero\n";
const char kNoMemory[] =
    "No hay memoria suficiente: no se ha escrito ningun fichero\n";

// True if `name` is the very file (not merely the same name) that a set file
// of this folder is: the run would replace its own source.
bool IsSetFile(const std::filesystem::path& name) {
  std::error_code ec;
  return std::filesystem::equivalent(name, pixelsets::kEntrenamiento, ec) ||
         std::filesystem::equivalent(name, pixelsets::kTest, ec);
}

// Asks for source names until one opens as a readable file and loads as a
// pixel list. Returns false at the end of input.
bool AskSource(std::FILE* in, std::FILE* out, std::FILE** fOrigen,
               pixelsets::Pool* cadenas, std::int32_t* caract) {
  std::string typed;
  for (;;) {
    std::fputs("Introduzca Nombre de Fichero Origen (ej. Pixeles.txt): ", out);
    std::fflush(out);
    if (!ReadToken(in, &typed)) return false;
    // A zero byte would cut the name short and open another file.
    const bool usable = typed.size() <= pixelsets::kMaxLineLength &&
                        typed.find('\0') == std::string::npos;
    const std::filesystem::path name =
        usable ? pixelsets::TypedPath(typed) : std::filesystem::path();
    std::error_code ec;
    const auto status = std::filesystem::status(name, ec);
    // A directory opens for reading on some systems but is no pixel list.
    *fOrigen = !usable || name.empty() || std::filesystem::is_directory(status)
                   ? nullptr
                   : pixelsets::OpenForReading(name);
    if (*fOrigen == nullptr) {
      std::fputs("Error al abrir el fichero Origen\n\n", out);
      continue;
    }
    if (IsSetFile(name)) {
      std::fclose(*fOrigen);
      *fOrigen = nullptr;
      std::fputs(
          "El fichero Origen no puede ser Entrenamiento.txt ni Test.txt\n\n",
          out);
      continue;
    }
    // A regular file's size lets the loader read it into one allocation.
    std::error_code size_ec;
    std::error_code time_ec;
    const std::uint64_t size_hint =
        std::filesystem::is_regular_file(status)
            ? std::filesystem::file_size(name, size_ec)
            : 0;
    const auto written = std::filesystem::last_write_time(name, time_ec);
    // (Files that report no size, as in /proc, are read to their end.)
    const bool regular = std::filesystem::is_regular_file(status) &&
                         size_hint > 0 && !size_ec && !time_ec;
    std::string reason;
    if (pixelsets::LoadSource(*fOrigen, regular ? size_hint : 0, cadenas,
                              caract, &reason)) {
      // Another program that rewrote or cut the file while it was read would
      // leave a mixture of old and new lines, or half a line.
      if (!regular ||
          ((cadenas->external ? cadenas->source_size : cadenas->text_size) ==
               size_hint &&
           std::filesystem::file_size(name, size_ec) == size_hint &&
           std::filesystem::last_write_time(name, time_ec) == written &&
           !size_ec && !time_ec))
        return true;
      reason = "El fichero Origen ha cambiado mientras se leia";
      *cadenas = pixelsets::Pool();
    }
    std::fclose(*fOrigen);
    *fOrigen = nullptr;
    std::fprintf(out, "%s\n\n", reason.c_str());
  }
}

// One line on a terminal that says how far the writing of the sets has
// come, for a run that takes more than a second after the last answer;
// rewritten in place and erased at the end, so that the screen ends as if it
// had never been there. Only where a person types the answers on a terminal
// and watches `err` there: the Enter after the last answer leaves the line
// free, where a script's answers would leave the last question on it.
class ProgressLine {
 public:
  ProgressLine(std::FILE* in, std::FILE* err)
      : err_(err),
        shown_(pixelsets::IsTerminal(in) && pixelsets::IsTerminal(err)),
        start_(std::chrono::steady_clock::now()) {}

  bool shown() const { return shown_; }

  // Called from either drawing thread; one of them at a time writes.
  void Update(std::uint64_t done, std::uint64_t total) {
    if (total == 0 || !lock_.try_lock()) return;
    const auto percent = static_cast<int>(done * 100 / total);
    if (percent != last_ &&
        std::chrono::steady_clock::now() - start_ > std::chrono::seconds(1)) {
      std::fprintf(err_, "\rEscribiendo los conjuntos: %3d %%", percent);
      std::fflush(err_);
      last_ = percent;
    }
    lock_.unlock();
  }

  void Erase() {
    if (last_ < 0) return;
    std::fprintf(err_, "\r%*s\r", kWidth, "");
    std::fflush(err_);
    last_ = -1;
  }

 private:
  static constexpr int kWidth = 34;  // "Escribiendo los conjuntos: 100 %"
  std::FILE* err_;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
  std::mutex lock_;
  int last_ = -1;
};

int Run(std::FILE* in, std::FILE* out, std::FILE* err) {
  std::FILE* fOrigen = nullptr;
  pixelsets::Pool cadenas;
  std::int32_t caract = 0;
  const pixelsets::Generator rand =
      pixelsets::SeededRand(static_cast<unsigned>(std::time(nullptr)));

  if (!AskSource(in, out, &fOrigen, &cadenas, &caract)) {
    std::fputs(kEndOfInput, err);
    return 1;
  }
  // The loader refuses more records than a signed 32-bit count holds.
  const auto n_total = static_cast<std::int32_t>(cadenas.size());
  std::int32_t n_entr = 0;
  std::int32_t n_test = 0;
  if (AskCount(in, out,
               "Introduzca Numero de pixels que quiere asignar para el "
               "entrenamiento\n Debe ser menor o igual de %d: ",
               n_total, &n_entr) == Answer::kEndOfInput ||
      AskCount(in, out,
               "Introduzca Numero de pixels que quiere asignar para el test\n"
               " Debe ser menor o igual de %d: ",
               n_total - n_entr, &n_test) == Answer::kEndOfInput) {
    std::fclose(fOrigen);
    std::fputs(kEndOfInput, err);
    return 1;
  }

  std::string reason;
  const auto notify = [err](const std::string& message) {
    std::fprintf(err, "%s\n", message.c_str());
    std::fflush(err);
  };
  ProgressLine progress(in, err);
  pixelsets::DrawOptions options;
  if (progress.shown()) {
    options.progress = [&progress](std::uint64_t done, std::uint64_t total) {
      progress.Update(done, total);
    };
  }
  const bool written = pixelsets::WriteSetFiles(
      &cadenas, caract, n_entr, n_test, rand, notify, options, &reason);
  progress.Erase();
  std::fclose(fOrigen);
  if (!written) {
    std::fprintf(err, "%s\n", reason.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int RunSplit(std::FILE* in, std::FILE* out, std::FILE* err) {
  try {
    return Run(in, out, err);
  } catch (const std::bad_alloc&) {
    // Whatever was being built is gone with the stack; no set file was
    // replaced, and the writer has removed its temporaries.
    std::fputs(kNoMemory, err);
    return 1;
  }
}

}  // namespace particion
