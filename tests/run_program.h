// Runs a built program as a user would and captures what it printed and how it ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct program_result {
  std::string out, err;
  int status = -1; // exit status, or 128 + signal number
};

// Why the programs cannot be run on an emulated older CPU here, or "" when they can: the
// user-mode emulator runs them with its Core 2 model (SSE2 and SSSE3; no SSE4.1, no AVX2).
inline const char* emulator = "/usr/bin/qemu-x86_64";
inline std::string no_emulator() {
#ifdef SANITIZED
  return "sanitizer runtimes do not run under the emulator";
#else
  if (access(emulator, X_OK) != 0)
    return std::string("no ") + emulator + " (scripts/deps.sh --ci installs qemu-user)";
  return "";
#endif
}

inline std::string slurp(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    std::size_t k;
    while ((k = std::fread(buf, 1, sizeof buf, f)) > 0)
      s.append(buf, k);
    std::fclose(f);
  }
  return s;
}

inline void write_file(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline std::string temp_dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/seekpat-tests-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      std::abort();
    return std::string(tmpl);
  }();
  return dir;
}

// A file of the test's temporary folder holding bytes; returns its path.
inline std::string file_with(const std::string& name, const std::string& bytes) {
  const std::string path = temp_dir() + "/" + name;
  write_file(path, bytes);
  return path;
}

// The two times vary from run to run; everything else is exact. Replaces the number on each
// "took N.NNN msec" line with T after checking its shape (digits, a point, three decimals).
inline std::string mask_times(std::string out) {
  for (std::size_t at = 0; (at = out.find(" took ", at)) != std::string::npos;) {
    const std::size_t num = at + 6, end = out.find(" msec\n", num);
    if (end == std::string::npos)
      break;
    const std::string t = out.substr(num, end - num);
    const std::size_t dot = t.find('.');
    const bool shaped = dot != std::string::npos && dot > 0 && t.size() - dot == 4 &&
                        t.find_first_not_of("0123456789.") == std::string::npos &&
                        t.find('.', dot + 1) == std::string::npos;
    if (shaped)
      out.replace(num, end - num, "T");
    at = num;
  }
  return out;
}

// Where the child's standard output goes: a file the result reads back, /dev/full (every write
// fails with ENOSPC), nowhere (descriptor 1 closed), or a pipe nobody reads, with SIGPIPE ignored
// (every write fails with EPIPE).
enum class output_to { file, full_device, closed, broken_pipe };

struct run_options {
  // Standard input: /dev/null when empty; "|" makes it an empty pipe, which cannot be positioned.
  std::string stdin_path;
  unsigned long long address_space = 0; // bytes of virtual memory, when set
  unsigned long long stack = 0; // stack size limit in bytes (also each new thread's), when set
  bool merge_streams = false;   // standard error into the same file as standard output
  output_to out = output_to::file;
};

// argv[0] is the program path. Standard output and error go to files, so output order and
// buffering stay as they would be.
inline program_result run_program(const std::vector<std::string>& args,
                                  const run_options& opt = {}) {
  static int serial = 0;
  const std::string base = temp_dir() + "/run" + std::to_string(++serial);
  const std::string out_path = base + ".out", err_path = base + ".err";
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  if (opt.stdin_path == "|" && pipe(fds) != 0)
    std::abort();
  int sink[2] = {-1, -1};
  if (opt.out == output_to::broken_pipe) {
    if (pipe(sink) != 0)
      std::abort();
    close(sink[0]); // no reader from the start
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int in =
        opt.stdin_path == "|"
            ? fds[0]
            : open(opt.stdin_path.empty() ? "/dev/null" : opt.stdin_path.c_str(), O_RDONLY);
    if (fds[1] >= 0)
      close(fds[1]);
    const int out = opt.out == output_to::full_device ? open("/dev/full", O_WRONLY)
                    : opt.out == output_to::broken_pipe
                        ? sink[1]
                        : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err =
        opt.merge_streams ? out : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (opt.out == output_to::closed)
      close(1);
    if (opt.out == output_to::broken_pipe)
      signal(SIGPIPE, SIG_IGN); // an ignored signal stays ignored across exec
    if (opt.address_space) {
      struct rlimit rl = {opt.address_space, opt.address_space};
      setrlimit(RLIMIT_AS, &rl);
    }
    if (opt.stack) {
      struct rlimit rl = {opt.stack, opt.stack};
      setrlimit(RLIMIT_STACK, &rl);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (fds[0] >= 0) {
    close(fds[0]);
    close(fds[1]);
  }
  if (sink[1] >= 0)
    close(sink[1]);
  program_result r;
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out_path);
  r.err = opt.merge_streams ? "" : slurp(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return r;
}
