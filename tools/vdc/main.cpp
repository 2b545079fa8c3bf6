// brint-vdc: the command line of the virus data compiler.
//
//   brint-vdc [--cpp FILE] [--vdl FILE] [--ide FILE] [--pat FILE] SOURCE...
//       assembles the sources (in the order given) and writes each output asked for;
//       nothing is written unless every source assembled cleanly.
//   brint-vdc --disassemble INPUT [--kind builtin|vdl|ide] [-o FILE]
//       writes the source of a built-in block (the generated C++), a VDL file or an
//       identity file; the kind is guessed from the input when not given.
//
// Exit code: 0 done, 1 faulty sources or input (each fault on the error output as
// "file:line: reason"), 2 a bad command line or an output that could not be written.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "text.h"
#include "vdc.h"

namespace {

int usage(const std::string& why) {
  std::fprintf(stderr,
               "brint-vdc: %s\n"
               "usage: brint-vdc [--cpp FILE] [--vdl FILE] [--ide FILE] [--pat FILE] SOURCE...\n"
               "       brint-vdc --disassemble INPUT [--kind builtin|vdl|ide] [-o FILE]\n",
               why.c_str());
  return 2;
}

void report(const std::vector<vdc::Diagnostic>& diagnostics) {
  for (const vdc::Diagnostic& d : diagnostics) std::fprintf(stderr, "%s\n", vdc::format_diagnostic(d).c_str());
}

bool ends_with_ide(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".ide";
}

int disassemble(const std::string& input, std::string kind, const std::string& output) {
  std::vector<uint8_t> bytes;
  if (!vdc::read_file_bytes(input, bytes)) {
    std::fprintf(stderr, "%s: cannot read the file\n", input.c_str());
    return 1;
  }
  const std::string text(bytes.begin(), bytes.end());
  if (kind.empty()) {
    if (text.find("kBuiltinBlock") != std::string::npos) kind = "builtin";
    else if (ends_with_ide(input)) kind = "ide";
    else kind = "vdl";
  }
  vdc::Issue issue;
  std::string reason;
  bool ok = false;
  if (kind == "builtin") {
    vdc::BuiltinImage image;
    ok = vdc::read_builtin_cpp(text, image, reason) && vdc::decode_builtin_image(image, issue, reason);
  } else if (kind == "ide") {
    std::vector<uint8_t> stream;
    ok = vdc::decode_ide(text, stream, reason) && vdc::decode_stream(stream, issue.entries, reason);
  } else if (kind == "vdl") {
    ok = vdc::decode_stream(bytes, issue.entries, reason);
  } else {
    return usage("unknown input kind '" + kind + "' (builtin, vdl or ide)");
  }
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", input.c_str(), reason.c_str());
    return 1;
  }
  const std::string source = vdc::disassemble_issue(issue);
  if (output.empty()) {
    std::fwrite(source.data(), 1, source.size(), stdout);
    return 0;
  }
  if (!vdc::write_file_bytes(output, source)) {
    std::fprintf(stderr, "%s: cannot write the file\n", output.c_str());
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cpp, vdl, ide, pat, dis, kind, out;
  std::vector<std::string> sources;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string* target = nullptr;
    if (arg == "--cpp") target = &cpp;
    else if (arg == "--vdl") target = &vdl;
    else if (arg == "--ide") target = &ide;
    else if (arg == "--pat") target = &pat;
    else if (arg == "--disassemble") target = &dis;
    else if (arg == "--kind") target = &kind;
    else if (arg == "-o") target = &out;
    else if (!arg.empty() && arg[0] == '-') return usage("unknown option '" + arg + "'");
    else sources.push_back(arg);
    if (target) {
      if (i + 1 >= argc) return usage("'" + arg + "' needs a file name");
      *target = argv[++i];
    }
  }
  if (!dis.empty()) {
    if (!sources.empty()) return usage("--disassemble takes no sources");
    return disassemble(dis, kind, out);
  }
  if (sources.empty()) return usage("no source files");
  if (cpp.empty() && vdl.empty() && ide.empty() && pat.empty()) return usage("no output asked for");

  vdc::Issue issue;
  std::vector<vdc::Diagnostic> diagnostics;
  bool ok = vdc::assemble_files(sources, issue, diagnostics);
  ok = vdc::check_issue(issue, !cpp.empty(), diagnostics) && ok;
  std::string pattern_text;
  if (ok && !pat.empty()) ok = vdc::write_pattern_file(issue.patterns, pattern_text, diagnostics);
  if (!ok) {
    report(diagnostics);
    return 1;
  }
  const std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  struct Output {
    const std::string& path;
    std::string bytes;
  };
  std::vector<Output> outputs;
  if (!cpp.empty()) outputs.push_back({cpp, vdc::write_builtin_cpp(vdc::make_builtin_image(issue))});
  if (!vdl.empty()) outputs.push_back({vdl, std::string(stream.begin(), stream.end())});
  if (!ide.empty()) outputs.push_back({ide, vdc::write_ide(stream)});
  if (!pat.empty()) outputs.push_back({pat, pattern_text});
  for (const Output& o : outputs) {
    if (!vdc::write_file_bytes(o.path, o.bytes)) {
      std::fprintf(stderr, "%s: cannot write the file\n", o.path.c_str());
      return 2;
    }
  }
  return 0;
}
