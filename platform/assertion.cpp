#include "platform/assertion.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/system_log.h"

namespace quillfen {

void AssertionFailure(const char* method, AssertionSite site,
                      const char* description) {
  std::string_view path = site.file;
  std::string_view name = path.substr(path.rfind('/') + 1);
  SystemLog("*** Assertion failure in " + std::string(method) + ", " +
            std::string(name) + ":" + std::to_string(site.line));
  SystemLog("*** Terminating: " + std::string(description));
  std::abort();
}

}  // namespace quillfen
