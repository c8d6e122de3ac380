// Export files: the transaction's files, with BGZF compression where asked for.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "convert/convert.hpp"

#ifdef DRIFTSIM_HAVE_HTSLIB
#include <htslib/bgzf.h>
#endif

namespace driftsim::convert {

namespace {

// Bytes collected before a write.
constexpr size_t kBufferBytes = size_t{1} << 20;

}  // namespace

OutputFile::OutputFile(std::string path, int bgzfLevel, int threads) : file_(std::move(path)) {
  if (bgzfLevel >= 0) {
#ifdef DRIFTSIM_HAVE_HTSLIB
    // BGZF closes the descriptor it is given; the file's own stays open for the flush to disk.
    const int copy = dup(file_.Descriptor());
    const std::string mode = "w" + std::to_string(bgzfLevel);
    bgzf_ = copy < 0 ? nullptr : bgzf_dopen(copy, mode.c_str());
    if (bgzf_ == nullptr) {
      if (copy >= 0) close(copy);
      throw StatsError("Cannot create file " + Path() + ": cannot start BGZF compression!");
    }
    if (threads > 0) bgzf_mt(bgzf_, threads, 256);
#else
    (void)threads;
    throw StatsError("Cannot create file " + Path() + ": built without htslib, no BGZF!");
#endif
  }
  buffer_.reserve(kBufferBytes);
}

OutputFile::~OutputFile() {
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) bgzf_close(bgzf_);
#endif
}

void OutputFile::Write(std::string_view text) {
  if (buffer_.size() + text.size() > kBufferBytes) Flush();
  buffer_.append(text);
  if (buffer_.size() >= kBufferBytes) Flush();
}

void OutputFile::Flush() {
  if (buffer_.empty()) return;
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) {
    errno = 0;
    if (bgzf_write(bgzf_, buffer_.data(), buffer_.size()) != static_cast<ssize_t>(buffer_.size())) {
      file_.Fail("write", errno != 0 ? errno : EIO);
    }
    buffer_.clear();
    return;
  }
#endif
  file_.Write(buffer_);
  buffer_.clear();
}

void OutputFile::Finish() {
  Flush();
#ifdef DRIFTSIM_HAVE_HTSLIB
  if (bgzf_ != nullptr) {
    errno = 0;
    const int closed = bgzf_close(bgzf_);  // writes the end-of-file block
    bgzf_ = nullptr;
    if (closed != 0) file_.Fail("write", errno != 0 ? errno : EIO);
  }
#endif
  file_.Close();
}

void Commit(const std::vector<OutputFile*>& files) {
  std::vector<driftsim::OutputFile*> all;
  for (OutputFile* f : files) all.push_back(&f->file_);
  driftsim::Commit(all);
}

}  // namespace driftsim::convert
