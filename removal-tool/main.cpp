// QuillfenRemovalTool: relays one removal request from Quillfen to the
// removal service and the reply back, through the shared domain. It
// confines itself to the shared domain's folder before anything else.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/application.h"
#include "platform/sandbox.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "removal-tool/AppDelegate.h"

int main(int argc, char** argv) {
  std::string folder =
      quillfen::SharedSuite::FolderFor(quillfen::SharedSuiteName);
  // A folder that can't be made is reported by the sandbox, and by the
  // first flush, in their own words.
  static_cast<void>(quillfen::SharedSuite::MakeFolder(folder));
  quillfen::ConfineToFolder(folder);
  int status = quillfen::ApplicationMain(
      argc, argv, [] { return std::make_shared<quillfen::AppDelegate>(); });
  // Termination comes from the service connection's thread, which may
  // still be winding down: end here, without tearing down the process's
  // static objects underneath it. The reply and the notification have
  // been written out already, and the log is unbuffered.
  std::fflush(nullptr);
  _exit(status);
}
