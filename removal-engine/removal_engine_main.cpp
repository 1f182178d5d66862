// quillfen-engine: carries out one RemovalRequest in-process, without the
// bus: reads the request's JSON text from a file (or standard input) and
// prints the reply's JSON text. With --preview it removes nothing and
// prints what it would remove. For the demo, benchmarks and diagnosis.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "base/error_text.h"
#include "platform/unique_fd.h"
#include "protocol/json_form.h"
#include "protocol/request_text.h"
#include "removal-engine/quillfen_removal_service.h"

int main(int argc, char** argv) {
  int first = 1;
  bool preview = argc > 1 && std::string(argv[1]) == "--preview";
  if (preview) ++first;
  if (argc - first > 1 ||
      (argc - first == 1 && std::string(argv[first]) == "--help")) {
    std::fprintf(stderr, "usage: %s [--preview] [REQUEST.json]\n", argv[0]);
    return 2;
  }
  const bool from_file = argc - first == 1 && std::string(argv[first]) != "-";
  quillfen::Result<std::string> read =
      from_file ? quillfen::ReadWholeFile(argv[first])
                : quillfen::ReadAll(STDIN_FILENO);
  if (!read) {
    std::fprintf(stderr, "quillfen-engine: can't read %s: %s\n",
                 from_file ? argv[first] : "standard input",
                 quillfen::SystemErrorText(read.error().code).c_str());
    return 2;
  }
  const std::string& text = *read;
  quillfen::Result<quillfen::RemovalRequest> request =
      quillfen::RequestFromJsonText(text);
  if (!request) {
    std::fprintf(stderr,
                 "quillfen-engine: the request is not a JSON object: %s\n",
                 request.error().message.c_str());
    return 2;
  }

  auto print = [](quillfen::RemovalReply reply) {
    // Written as it is made: a reply of many paths needn't be held twice.
    quillfen::WriteJsonText(quillfen::Value(std::move(reply)), std::cout);
    std::cout << '\n';
  };
  quillfen::QuillfenRemovalService service;
  if (preview) {
    print(service.previewWithFileDict(*request));
  } else {
    service.removeWithFileDict(*request, print);
  }
  return 0;
}
