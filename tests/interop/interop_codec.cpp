// Test helper for the interoperability checks against another SMS library:
//
//   interop_codec submit [--coding C] [--languages L] [--ref16] [--reference N] --to NUMBER TEXT
//       prints the SMS-SUBMIT PDUs of the UTF-8 TEXT, one per line;
//   interop_codec join PDU...
//       decodes DELIVER PDUs, reassembles them and prints one line per message:
//       "<from> <parts> <complete 0|1> <missing,list|-> <text as UTF-8 hex>".
// Exit 0 on success, 2 with the reason on stderr.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "common/hex.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "common/utf8.h"

namespace {

using namespace vela;

int Submit(int argc, char** argv) {
  coding::SubmitOptions options;
  std::string text;
  bool have_text = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--coding") {
      options.coding = coding::ParseCoding(value());
    } else if (arg == "--languages") {
      options.languages = coding::ParseLanguageList(value());
    } else if (arg == "--ref16") {
      options.ref16 = true;
    } else if (arg == "--reference") {
      options.reference = static_cast<uint16_t>(std::stoul(value()));
    } else if (arg == "--to") {
      options.destination = value();
    } else if (arg == "--max-parts") {
      options.maxParts = std::stoi(value());
    } else {
      text = arg;
      have_text = true;
    }
  }
  if (!have_text) throw std::runtime_error("submit needs a TEXT");
  const coding::SubmitMessage message = coding::EncodeSubmitMessage(WideFromUtf8(text), options);
  for (const coding::SubmitPart& part : message.parts) std::printf("%s\n", part.pdu.c_str());
  return 0;
}

void Print(const coding::AssembledMessage& m) {
  std::string missing;
  for (int seq : m.missing) missing += (missing.empty() ? "" : ",") + std::to_string(seq);
  std::printf("%s %d %d %s %s\n", m.originator.empty() ? "-" : m.originator.c_str(), m.parts, m.complete ? 1 : 0,
              missing.empty() ? "-" : missing.c_str(), hex::FromOctets(Utf8FromWide(m.text)).c_str());
}

int Join(int argc, char** argv) {
  coding::Reassembler reassembler;
  for (int i = 2; i < argc; ++i) {
    const coding::DecodedUserData d = coding::DecodePdu(argv[i]);
    if (d.kind != 1) throw std::runtime_error(std::string("not an SMS-DELIVER: ") + argv[i]);
    coding::ReceivedPart part;
    part.originator = d.originator;
    part.concatenation = d.header.concatenation;
    part.text = d.text;
    part.smscTime = d.smscTime;
    part.tag = static_cast<uint64_t>(i);
    for (const coding::AssembledMessage& m : reassembler.Add(std::move(part), 0)) Print(m);
  }
  for (const coding::AssembledMessage& m : reassembler.Flush()) Print(m);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "submit") return Submit(argc, argv);
    if (command == "join") return Join(argc, argv);
    std::fprintf(stderr, "usage: interop_codec submit|join ...\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "interop_codec: %s\n", e.what());
    return 2;
  }
}
