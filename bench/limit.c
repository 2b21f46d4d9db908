/* The machine's limit for extracting a tree: only what any extractor must do.
 *
 *   limit METHOD MANIFEST SOURCE OUTPUT
 *
 * MANIFEST has one line per file, "OFFSET<TAB>SIZE<TAB>PATH", the file's bytes being SIZE
 * bytes at OFFSET in SOURCE and PATH relative to OUTPUT. The folders below OUTPUT must exist
 * already (the benchmark makes them before the timed region). For each file, in manifest
 * order and on one thread: open it relative to its folder's descriptor (kept while consecutive
 * files share a folder), copy its bytes from SOURCE with METHOD, close it.
 *
 * METHOD is how the bytes are copied:
 *   cfr       copy_file_range from SOURCE
 *   sendfile  sendfile from SOURCE
 *   rw        pread into one reused 1 MiB buffer, then write
 *   mmap      write straight from one read-only mapping of the whole of SOURCE
 * The benchmark times each and keeps the fastest per workload.
 *
 * Any failure stops the run with exit status 1 and a message: a limit that silently skipped
 * files would be no limit.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

enum method { CFR, SENDFILE, RW, MMAP };

enum { BUFFER_SIZE = 1 << 20 };

struct source {
  int fd;
  uint64_t size;
  const unsigned char* map; /* MMAP only */
  unsigned char* buffer;    /* RW only */
};

static void fail(const char* what, const char* path) {
  fprintf(stderr, "limit: %s %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static void failShort(const char* path) {
  fprintf(stderr, "limit: %s: the source ended early\n", path);
  exit(1);
}

static int parseMethod(const char* name, enum method* out) {
  static const char* const names[] = {"cfr", "sendfile", "rw", "mmap"};
  for (int k = 0; k < 4; ++k) {
    if (strcmp(name, names[k]) == 0) {
      *out = (enum method)k;
      return 1;
    }
  }
  return 0;
}

/* Writes all of [data, data + size) to fd. */
static void writeAll(int fd, const unsigned char* data, uint64_t size, const char* path) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size > (1u << 30) ? (1u << 30) : size);
    if (done < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", path);
    }
    data += done;
    size -= (uint64_t)done;
  }
}

static void copyBytes(enum method method, const struct source* src, int out, uint64_t offset,
                      uint64_t size, const char* path) {
  if (offset > src->size || size > src->size - offset) failShort(path);
  switch (method) {
    case CFR:
    case SENDFILE: {
      off_t at = (off_t)offset;
      while (size > 0) {
        const size_t chunk = size > (1u << 30) ? (1u << 30) : (size_t)size;
        const ssize_t done = method == CFR ? copy_file_range(src->fd, &at, out, NULL, chunk, 0)
                                           : sendfile(out, src->fd, &at, chunk);
        if (done < 0) {
          if (errno == EINTR) continue;
          fail(method == CFR ? "copy_file_range to" : "sendfile to", path);
        }
        if (done == 0) failShort(path);
        size -= (uint64_t)done;
      }
      break;
    }
    case RW:
      while (size > 0) {
        const size_t chunk = size > BUFFER_SIZE ? BUFFER_SIZE : (size_t)size;
        const ssize_t got = pread(src->fd, src->buffer, chunk, (off_t)offset);
        if (got < 0) {
          if (errno == EINTR) continue;
          fail("cannot read the source for", path);
        }
        if (got == 0) failShort(path);
        writeAll(out, src->buffer, (uint64_t)got, path);
        offset += (uint64_t)got;
        size -= (uint64_t)got;
      }
      break;
    case MMAP:
      writeAll(out, src->map + offset, size, path);
      break;
  }
}

static char* readWhole(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open", path);
  struct stat status;
  if (fstat(fd, &status) != 0) fail("cannot stat", path);
  char* text = malloc((size_t)status.st_size + 1);
  if (text == NULL) fail("out of memory for", path);
  size_t have = 0;
  while (have < (size_t)status.st_size) {
    const ssize_t got = read(fd, text + have, (size_t)status.st_size - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) fail("cannot read", path);
    have += (size_t)got;
  }
  text[have] = '\0';
  close(fd);
  return text;
}

static void openSource(const char* path, enum method method, struct source* src) {
  src->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (src->fd < 0) fail("cannot open", path);
  struct stat status;
  if (fstat(src->fd, &status) != 0) fail("cannot stat", path);
  src->size = (uint64_t)status.st_size;
  src->map = NULL;
  src->buffer = NULL;
  if (method == MMAP && src->size > 0) {
    void* map = mmap(NULL, src->size, PROT_READ, MAP_PRIVATE, src->fd, 0);
    if (map == MAP_FAILED) fail("cannot map", path);
    src->map = map;
  }
  if (method == RW && (src->buffer = malloc(BUFFER_SIZE)) == NULL) fail("out of memory for", path);
}

/* Whether PATH has a ".." component. */
static int climbsOut(const char* path) {
  for (const char* part = path;; ++part) {
    if (part[0] == '.' && part[1] == '.' && (part[2] == '/' || part[2] == '\0')) return 1;
    part = strchr(part, '/');
    if (part == NULL) return 0;
  }
}

/* Parses "OFFSET\tSIZE\tPATH" at *cursor, leaving *cursor at the next line. */
static int nextEntry(char** cursor, uint64_t* offset, uint64_t* size, char** path) {
  char* line = *cursor;
  if (*line == '\0') return 0;
  char* end = strchr(line, '\n');
  if (end == NULL) {
    fprintf(stderr, "limit: the manifest's last line is not ended\n");
    exit(1);
  }
  *end = '\0';
  *cursor = end + 1;
  char* rest;
  errno = 0;
  *offset = strtoull(line, &rest, 10);
  if (errno != 0 || *rest != '\t') goto bad;
  *size = strtoull(rest + 1, &rest, 10);
  if (errno != 0 || *rest != '\t' || rest[1] == '\0' || rest[1] == '/') goto bad;
  *path = rest + 1;
  if (climbsOut(*path)) goto bad; /* the manifest is ours, but stay below OUTPUT */
  return 1;
bad:
  fprintf(stderr, "limit: bad manifest line: %s\n", line);
  exit(1);
}

int main(int argc, char** argv) {
  enum method method;
  if (argc != 5 || !parseMethod(argv[1], &method)) {
    fprintf(stderr, "usage: limit cfr|sendfile|rw|mmap MANIFEST SOURCE OUTPUT\n");
    return 2;
  }
  char* manifest = readWhole(argv[2]);
  struct source src;
  openSource(argv[3], method, &src);
  const int root = open(argv[4], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) fail("cannot open", argv[4]);

  char folder[4096] = ""; /* the folder whose descriptor is open, relative to OUTPUT */
  int folderFd = root;
  char* cursor = manifest;
  uint64_t offset, size;
  char* path;
  while (nextEntry(&cursor, &offset, &size, &path)) {
    char* slash = strrchr(path, '/');
    const char* name = path;
    if (slash != NULL) {
      *slash = '\0';
      if (folderFd == root || strcmp(folder, path) != 0) {
        if (strlen(path) >= sizeof folder) {
          fprintf(stderr, "limit: folder name too long: %s\n", path);
          return 1;
        }
        const int fd = openat(root, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) fail("cannot open the folder", path);
        if (folderFd != root) close(folderFd);
        folderFd = fd;
        strcpy(folder, path);
      }
      *slash = '/';
      name = slash + 1;
    } else if (folderFd != root) {
      close(folderFd);
      folderFd = root;
    }
    const int out = openat(folderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) fail("cannot create", path);
    copyBytes(method, &src, out, offset, size, path);
    if (close(out) != 0) fail("cannot close", path);
  }
  return 0;
}
