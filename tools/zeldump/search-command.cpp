// zeldump --search TEXT FILE_OR_DIR: the hits of search.h as a JSON array.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "search.h"
#include "zeldump.h"

namespace zeldump {

int search(const Options& o)
{
    const int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "zeldump: cannot open %s: %s\n", o.file.c_str(), std::strerror(errno));
        return exit_usage;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
        std::fprintf(stderr, "zeldump: %s is neither a directory nor a regular file\n", o.file.c_str());
        ::close(fd);
        return exit_usage;
    }
    const std::string name = o.file.substr(o.file.rfind('/') + 1);
    std::fputs(zelsearch::search_json(fd, name, o.query).c_str(), stdout);
    ::close(fd);
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
}

} // namespace zeldump
