// resgen: the host build's resource compiler. It turns a program's resource
// script (.rc) and message file (.mc) into C++ tables the Win32 stand-in
// serves, as windres and windmc turn them into resources in the windows
// build.
//
//   resgen --out <tables.cpp> [--rc <file.rc>] [--mc <file.mc> --header <file.h>]
//          [-I <dir>]... [--depfile <file.d>]
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/resgen/emit.h"
#include "tools/resgen/mc_parser.h"
#include "tools/resgen/rc_parser.h"

namespace {

struct Options {
  std::string out, rc, mc, header, depfile;
  std::vector<std::string> includes;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--out") {
      o->out = v;
    } else if (a == "--rc") {
      o->rc = v;
    } else if (a == "--mc") {
      o->mc = v;
    } else if (a == "--header") {
      o->header = v;
    } else if (a == "--depfile") {
      o->depfile = v;
    } else if (a == "-I") {
      o->includes.push_back(v);
    } else {
      return false;
    }
  }
  return !o->out.empty() && (!o->rc.empty() || !o->mc.empty()) && o->mc.empty() == o->header.empty();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error(path + ": cannot be written");
}

std::string Label(const Options& o) {
  namespace fs = std::filesystem;
  std::string label;
  for (const std::string& f : {o.rc, o.mc}) {
    if (f.empty()) continue;
    if (!label.empty()) label += " and ";
    label += fs::path(f).filename().string();
  }
  return label;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: resgen --out <tables.cpp> [--rc <file.rc>] [--mc <file.mc> --header "
                 "<file.h>] [-I <dir>]... [--depfile <file.d>]\n");
    return 2;
  }
  try {
    resgen::Resources r;
    if (!o.rc.empty()) resgen::ParseResourceScript(o.rc, o.includes, &r);
    if (!o.mc.empty()) {
      resgen::ParseMessageFile(o.mc, &r);
      Write(o.header, resgen::EmitMessageHeader(r, std::filesystem::path(o.mc).filename().string()));
    }
    Write(o.out, resgen::EmitTables(r, Label(o)));
    if (!o.depfile.empty()) {
      std::string deps = o.out + ":";
      for (const std::string& f : r.inputs) deps += " " + f;
      Write(o.depfile, deps + "\n");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "resgen: %s\n", e.what());
    return 1;
  }
  return 0;
}
