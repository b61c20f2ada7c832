/* libFuzzer target: the command-line values a user types: mode, flag, param pairs, block sizes,
 * filter patterns, size texts, and the glob matcher the filters use. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libcdir/libcdir_param.h"
#include "libpal/string/pl_glob.h"
#include "libpal/string/pl_str.h"
#include "librdir/rdir_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  /* The first line is a pattern list, the second a path, the rest a value for every setter. */
  size_t nl = text.find('\n');
  std::string patterns = text.substr(0, nl);
  std::string rest = nl == std::string::npos ? std::string() : text.substr(nl + 1);
  size_t nl2 = rest.find('\n');
  std::string path = rest.substr(0, nl2);

  libcdir_param p;
  libcdir_param_init(&p);
  libcdir_set_param_mode(&p, text.c_str());
  libcdir_set_param_flag(&p, text.c_str());
  std::vector<std::string> warnings;
  libcdir_set_param_kv(&p, text.c_str(), &warnings);
  libcdir_set_param_bs(&p, text.c_str());
  libcdir_set_filter(&p, patterns.c_str());
  libcdir_param_free(&p);
  str_size_parse(text.c_str());

  pl_glob_match(patterns.c_str(), path.c_str(), 0, 0);
  pl_glob_match(patterns.c_str(), path.c_str(), 1, 0);
  pl_glob_match_multi(path.c_str(), patterns.c_str(), 0, 0);
  if (rdir_filter *f = rdir_filter_init(patterns.c_str(), patterns.c_str(), patterns.c_str(), patterns.c_str(),
                                        patterns.c_str())) {
    rdir_filter_admit(f, path.c_str(), false);
    rdir_filter_admit(f, path.c_str(), true);
    rdir_filter_free(f);
  }
  rdir_filter_dir_prefix(patterns.c_str(), path.c_str());
  return 0;
}
