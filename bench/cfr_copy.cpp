// The raw limit of a local copy: every regular file of a flat input directory is copied into an
// output directory with copy_file_range alone (no attributes, no listing, one thread).
// Usage: cfr_copy IN_DIR OUT_DIR
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

static int copy_one(const std::string &in, const std::string &out)
{
    int fi = open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fi < 0)
        return -1;
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fo < 0) {
        close(fi);
        return -1;
    }
    int rc = 0;
    for (;;) {
        ssize_t n = copy_file_range(fi, nullptr, fo, nullptr, 1 << 30, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            rc = -1;
            break;
        }
    }
    close(fi);
    if (close(fo) != 0)
        rc = -1;
    return rc;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: cfr_copy IN_DIR OUT_DIR\n");
        return 2;
    }
    if (mkdir(argv[2], 0755) != 0 && errno != EEXIST) {
        perror(argv[2]);
        return 1;
    }
    DIR *d = opendir(argv[1]);
    if (!d) {
        perror(argv[1]);
        return 1;
    }
    int rc = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_type != DT_REG)
            continue;
        std::string in = std::string(argv[1]) + "/" + e->d_name;
        std::string out = std::string(argv[2]) + "/" + e->d_name;
        if (copy_one(in, out) != 0) {
            fprintf(stderr, "%s: %s\n", in.c_str(), strerror(errno));
            rc = 1;
        }
    }
    closedir(d);
    return rc;
}
