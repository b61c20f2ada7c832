/* qvsd's TLS port as OpenSSL's own client sees it: TLS 1.2 or later with an AEAD suite, older
 * protocols and suites without forward secrecy refused, and the certificate whose fingerprint the
 * ready line printed. */
#include <gtest/gtest.h>

#include <string>

#include "helpers/qvsd_run.h"
#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

run_result s_client(int port, const std::string &extra)
{
  return run_cmd("/bin/sh", {"-c", "echo | openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " " + extra},
                 {}, 30);
}

TEST(qvsd_tls_peer, openssl_s_client_meets_only_modern_tls_and_the_printed_certificate)
{
  if (run_cmd("/bin/sh", {"-c", "command -v openssl"}).status != 0)
    GTEST_SKIP() << "openssl is not installed (scripts/deps.sh installs it)";
  std::string top = tree_tmpdir("qvsd_tls_peer");
  qvsd_run srv;
  ASSERT_TRUE(srv.start(QVSD_BIN, top, {}, true)) << srv.log();
  static const struct {
    const char *words;
    bool accepted;
  } cases[] = {
      {"-brief", true},
      {"-brief -tls1_2", true},
      {"-brief -tls1_3", true},
      {"-brief -tls1_1", false},
      {"-brief -tls1", false},
      {"-brief -tls1_2 -cipher AES128-SHA", false},        /* no forward secrecy, no AEAD */
      {"-brief -tls1_2 -cipher ECDHE-RSA-AES128-SHA", false}, /* CBC, not AEAD */
  };
  for (const auto &c : cases) {
    run_result r = s_client(srv.tls_port, c.words);
    std::string all = r.out + r.err;
    EXPECT_EQ(r.status == 0 && all.find("Protocol version: TLSv1.") != std::string::npos, c.accepted)
        << c.words << "\n" << all;
    if (c.accepted) {
      EXPECT_TRUE(all.find("Protocol version: TLSv1.2") != std::string::npos ||
                  all.find("Protocol version: TLSv1.3") != std::string::npos)
          << all;
      EXPECT_TRUE(all.find("GCM") != std::string::npos || all.find("CHACHA20") != std::string::npos) << all;
    }
  }
  run_result fp = run_cmd("/bin/sh", {"-c", "echo | openssl s_client -connect 127.0.0.1:" + std::to_string(srv.tls_port) +
                                                " 2>/dev/null | openssl x509 -noout -fingerprint -sha256"});
  EXPECT_EQ(fp.out, "sha256 Fingerprint=" + srv.fingerprint + "\n");
  tree_rm(top);
}

} // namespace
