/* Loopback throughput of the transport (2 MiB pieces, as the service client moves blocks) against
 * a bare blocking socket pair in the same run, plain TCP and TLS per backend; and LZ4 on 64 KiB
 * blocks of compressible and incompressible data. On a shared machine compare with
 * --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true, which spreads the load of
 * others over the cases alike; the CPU counters per 2 MiB do not depend on that load. */
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "libnet/net.h"
#include "libpack/zcomp.h"
#include "libssl/ssl.h"

namespace {

constexpr int CHUNK = 2 << 20;
constexpr int SOCK_BUF = 0x200000; /* what the service client asks for */

int64_t thread_cpu_us()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* A connected loopback pair: client and accepted server sockets, both non-blocking. */
bool tcp_pair(int *cli, int *srv)
{
  vperror e{};
  int port = 0;
  int lfd = sock_tcp_listen("127.0.0.1", 0, 1, &port, &e);
  if (lfd < 0)
    return false;
  net_params p{};
  p.connect_timeout = 5000;
  p.buf_size = SOCK_BUF;
  *cli = sock_tcp_connect("127.0.0.1", port, &p, &e);
  *srv = *cli >= 0 ? sock_tcp_accept(lfd, 5000, nullptr, &e) : -1;
  close(lfd);
  if (*srv >= 0) {
    int sz = SOCK_BUF;
    setsockopt(*srv, SOL_SOCKET, SO_RCVBUF, &sz, sizeof sz);
    setsockopt(*srv, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
  }
  return *cli >= 0 && *srv >= 0;
}

void set_blocking(int fd)
{
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

/* Bare blocking send/recv: the ceiling the transport is measured against. */
void BM_loopback_bare(benchmark::State &state)
{
  int a, b;
  if (!tcp_pair(&a, &b)) {
    state.SkipWithError("no loopback pair");
    return;
  }
  set_blocking(a);
  set_blocking(b);
  std::atomic<int> stop{0};
  std::atomic<int64_t> writer_cpu_us{0};
  std::atomic<int64_t> chunks_written{0};
  std::thread writer([&] {
    std::vector<char> buf(CHUNK, 'w');
    while (!stop.load()) {
      for (int off = 0; off < CHUNK;) {
        ssize_t r = send(a, buf.data() + off, (size_t)(CHUNK - off), MSG_NOSIGNAL);
        if (r <= 0) {
          writer_cpu_us.store(thread_cpu_us());
          return;
        }
        off += (int)r;
      }
      chunks_written.fetch_add(1);
    }
    writer_cpu_us.store(thread_cpu_us());
  });
  std::vector<char> in(CHUNK);
  int64_t reader_start = thread_cpu_us();
  for (auto _ : state) {
    for (int off = 0; off < CHUNK;) {
      ssize_t r = recv(b, in.data() + off, (size_t)(CHUNK - off), 0);
      if (r <= 0) {
        state.SkipWithError("recv failed");
        break;
      }
      off += (int)r;
    }
  }
  int64_t reader_cpu_us = thread_cpu_us() - reader_start;
  state.SetBytesProcessed(state.iterations() * (int64_t)CHUNK);
  stop.store(1);
  shutdown(b, SHUT_RDWR);
  writer.join();
  state.counters["reader_cpu_us_per_chunk"] = benchmark::Counter((double)reader_cpu_us / (double)state.iterations());
  if (chunks_written.load() > 0)
    state.counters["writer_cpu_us_per_chunk"] =
        benchmark::Counter((double)writer_cpu_us.load() / (double)chunks_written.load());
  close(a);
  close(b);
}

/* net_write_all/net_read_all over a pair; tls names the backend, null for plain TCP. */
void run_net(benchmark::State &state, const char *tls)
{
  int a, b;
  if (!tcp_pair(&a, &b)) {
    state.SkipWithError("no loopback pair");
    return;
  }
  net cli, srv;
  cli.io_timeout = srv.io_timeout = 30000;
  net_attach_fd(&cli, a);
  net_attach_fd(&srv, b);
  ssl_srv *ss = nullptr;
  if (tls) {
    ssl_backend_select(tls);
    libssl_init();
    vperror e{};
    ssl_srv_param p{nullptr, nullptr, tls};
    ss = ssl_srv_init(&p, &e);
    std::atomic<int> rc{-1};
    std::thread hs([&] {
      vperror he{};
      rc.store(ss ? ssl_srv_accept(ss, &srv, &he) : -1);
    });
    int crc = ssl_cli_connect2(&cli, "", "", &e);
    hs.join();
    if (crc != 0 || rc.load() != 0) {
      state.SkipWithError(vperror_str(&e));
      net_close(&cli);
      net_close(&srv);
      ssl_srv_exit(ss);
      return;
    }
    char ver[32], suite[128];
    ssl_session_info(&cli, ver, sizeof ver, suite, sizeof suite);
    state.SetLabel(std::string(ver) + " " + suite);
  }
  std::atomic<int> stop{0};
  std::atomic<int64_t> writer_cpu_us{0};
  std::atomic<int64_t> chunks_written{0};
  std::thread writer([&] {
    std::vector<char> buf(CHUNK, 'w');
    while (!stop.load() && net_write_all(&cli, buf.data(), CHUNK) == CHUNK)
      chunks_written.fetch_add(1);
    writer_cpu_us.store(thread_cpu_us());
  });
  std::vector<char> in(CHUNK);
  int64_t reader_start = thread_cpu_us();
  for (auto _ : state)
    if (net_read_all(&srv, in.data(), CHUNK) != CHUNK) {
      state.SkipWithError(net_errstr(&srv));
      break;
    }
  int64_t reader_cpu_us = thread_cpu_us() - reader_start;
  state.SetBytesProcessed(state.iterations() * (int64_t)CHUNK);
  stop.store(1);
  net_abort(&cli);
  writer.join();
  /* CPU per 2 MiB on each side: on an idle machine with a core per side the slower side sets
   * the pace, whatever else shares the cores during the run. */
  state.counters["reader_cpu_us_per_chunk"] = benchmark::Counter((double)reader_cpu_us / (double)state.iterations());
  if (chunks_written.load() > 0)
    state.counters["writer_cpu_us_per_chunk"] =
        benchmark::Counter((double)writer_cpu_us.load() / (double)chunks_written.load());
  net_close(&cli);
  net_close(&srv);
  ssl_srv_exit(ss);
}

void BM_loopback_net_plain(benchmark::State &state)
{
  run_net(state, nullptr);
}
void BM_loopback_net_tls_openssl(benchmark::State &state)
{
  if (ssl_backend_select("openssl") < 0) {
    state.SkipWithError("OpenSSL backend not built");
    return;
  }
  run_net(state, "openssl");
}
void BM_loopback_net_tls_mbedtls(benchmark::State &state)
{
  run_net(state, "mbedtls");
}

std::string block(bool compressible)
{
  std::string s;
  if (compressible) {
    while (s.size() < 65536)
      s += "-rw-r--r-- 1 user group " + std::to_string(s.size() % 9973) + " Dec 10 14:00 file_name.txt\n";
  } else {
    std::mt19937 g(7);
    s.resize(65536);
    for (char &c : s)
      c = (char)(g() & 0xff);
  }
  s.resize(65536);
  return s;
}

void BM_lz4_compress(benchmark::State &state)
{
  std::string in = block(state.range(0) != 0);
  zcomp z;
  snprintf(z.name, sizeof z.name, "lz4");
  zcomp_open(&z);
  std::vector<char> out(zcomp_bound((uint32_t)in.size()));
  int n = 0;
  for (auto _ : state) {
    n = zcomp_compress(&z, in.data(), (int)in.size(), out.data(), (int)out.size());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)in.size());
  state.SetLabel(std::string(state.range(0) ? "compressible" : "incompressible") + " ratio " +
                 std::to_string(n * 100 / (int)in.size()) + "%");
  zcomp_close(&z);
}

void BM_lz4_decompress(benchmark::State &state)
{
  std::string in = block(state.range(0) != 0);
  zcomp z;
  snprintf(z.name, sizeof z.name, "lz4");
  zcomp_open(&z);
  std::vector<char> packed(zcomp_bound((uint32_t)in.size()));
  int n = zcomp_compress(&z, in.data(), (int)in.size(), packed.data(), (int)packed.size());
  std::vector<char> out(in.size());
  for (auto _ : state) {
    int r = zcomp_decompress(&z, packed.data(), n, out.data(), (int)out.size());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)in.size());
  state.SetLabel(state.range(0) ? "compressible" : "incompressible");
  zcomp_close(&z);
}

} // namespace

BENCHMARK(BM_loopback_bare)->UseRealTime()->MinTime(2);
BENCHMARK(BM_loopback_net_plain)->UseRealTime()->MinTime(2);
BENCHMARK(BM_loopback_net_tls_openssl)->UseRealTime()->MinTime(2);
BENCHMARK(BM_loopback_net_tls_mbedtls)->UseRealTime()->MinTime(2);
BENCHMARK(BM_lz4_compress)->Arg(1)->Arg(0);
BENCHMARK(BM_lz4_decompress)->Arg(1)->Arg(0);
