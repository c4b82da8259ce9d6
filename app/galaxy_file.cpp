// galaxy_file.cpp: whether a galaxy file can be read, checked without disturbing a named pipe.
#include "app/galaxy_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool Refuse(const std::string& file, const char* reason, std::string& error) {
    error = "cannot read " + file + ": " + reason;
    return false;
}

}  // namespace

bool GalaxyFileReadable(const std::string& file, std::string& error) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0) {
        return Refuse(file, std::strerror(errno), error);
    }
    if (S_ISDIR(status.st_mode)) {
        return Refuse(file, "it is a folder", error);
    }
    if (S_ISFIFO(status.st_mode)) {
        return access(file.c_str(), R_OK) == 0 || Refuse(file, std::strerror(errno), error);
    }
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (stream == nullptr) {
        return Refuse(file, std::strerror(errno), error);
    }
    std::fclose(stream);
    return true;
}
