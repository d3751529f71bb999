#include "ArchiveOutput.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "UniqueFd.h"

namespace {

constexpr size_t bufferSize = 1u << 20;

class ArchiveOutput {
 public:
  explicit ArchiveOutput(std::filesystem::path path)
      : path_(std::move(path)), temporary_(path_.parent_path() / ("." + path_.filename().string() + ".part")) {
    zip_error_init(&error_);
    buffer_.reserve(bufferSize);
  }
  ~ArchiveOutput() {
    rollback();
    zip_error_fini(&error_);
  }

  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_SEEK,
                                              ZIP_SOURCE_TELL, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_WRITE, ZIP_SOURCE_COMMIT_WRITE,
                                              ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE,
                                              ZIP_SOURCE_REMOVE, ZIP_SOURCE_SUPPORTS, -1);
      case ZIP_SOURCE_STAT:  // there is no archive yet: libzip starts a new one
        return fail(ZIP_ER_READ, ENOENT);
      case ZIP_SOURCE_OPEN:  // libzip asks for reading support but never reads a new archive
      case ZIP_SOURCE_READ:
      case ZIP_SOURCE_CLOSE:
      case ZIP_SOURCE_SEEK:
      case ZIP_SOURCE_TELL:
        return fail(ZIP_ER_OPNOTSUPP, 0);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_BEGIN_WRITE:
        file_.reset(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        return file_.valid() ? 0 : fail(ZIP_ER_OPEN, errno);
      case ZIP_SOURCE_WRITE:
        return write(static_cast<const char*>(data), length);
      case ZIP_SOURCE_SEEK_WRITE:
        return seek(data, length);
      case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(position());
      case ZIP_SOURCE_COMMIT_WRITE:
        return commit();
      case ZIP_SOURCE_ROLLBACK_WRITE:
        rollback();
        return 0;
      case ZIP_SOURCE_REMOVE:
        ::unlink(path_.c_str());
        return 0;
      case ZIP_SOURCE_FREE:
        delete this;
        return 0;
      default:
        return fail(ZIP_ER_OPNOTSUPP, 0);
    }
  }

 private:
  zip_int64_t fail(int zipError, int systemError) {
    zip_error_set(&error_, zipError, systemError);
    return -1;
  }

  zip_uint64_t position() const { return flushedTo_ + buffer_.size(); }

  bool flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      ssize_t n =
          ::pwrite(file_.get(), buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(flushedTo_ + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    flushedTo_ += buffer_.size();
    buffer_.clear();
    return true;
  }

  zip_int64_t write(const char* data, zip_uint64_t length) {
    if (buffer_.size() + length > bufferSize && !flush()) return fail(ZIP_ER_WRITE, errno);
    buffer_.insert(buffer_.end(), data, data + length);
    return static_cast<zip_int64_t>(length);
  }

  zip_int64_t seek(void* data, zip_uint64_t length) {
    if (!flush()) return fail(ZIP_ER_WRITE, errno);
    struct stat info {};
    zip_uint64_t size = ::fstat(file_.get(), &info) == 0 ? static_cast<zip_uint64_t>(info.st_size) : 0;
    zip_int64_t target = zip_source_seek_compute_offset(flushedTo_, size, data, length, &error_);
    if (target < 0) return -1;
    flushedTo_ = static_cast<zip_uint64_t>(target);
    return 0;
  }

  // The archive appears under its name only once it is whole, and never replaces a file.
  zip_int64_t commit() {
    bool written = flush();
    int closed = file_.close();
    if (!written || closed != 0 || ::link(temporary_.c_str(), path_.c_str()) != 0) {
      int error = errno;
      ::unlink(temporary_.c_str());
      return fail(ZIP_ER_WRITE, error);
    }
    ::unlink(temporary_.c_str());
    return 0;
  }

  void rollback() {
    if (!file_.valid()) return;
    file_.reset();
    ::unlink(temporary_.c_str());
  }

  std::filesystem::path path_, temporary_;
  zip_error_t error_;
  std::vector<char> buffer_;
  zip_uint64_t flushedTo_ = 0;  // file offset where the buffer belongs
  UniqueFd file_;
};

zip_int64_t dispatch(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  return static_cast<ArchiveOutput*>(self)->handle(data, length, command);
}

}  // namespace

zip_source_t* createArchiveOutput(const std::filesystem::path& path, zip_error_t* error) {
  auto* output = new ArchiveOutput(path);
  zip_source_t* source = zip_source_function_create(dispatch, output, error);
  if (!source) delete output;
  return source;
}
