#pragma once

#include <zip.h>

#include <filesystem>

// A libzip source that writes a new archive at `path` through a large buffer, under a
// temporary name in the same folder that is renamed to `path` only when the archive is
// complete. libzip's own file output writes in 4 KiB pieces, which costs more than the
// data itself for large models.
zip_source_t* createArchiveOutput(const std::filesystem::path& path, zip_error_t* error);
