// SPDX-License-Identifier: BSD-2-Clause
// What the tool test programs share: the binary under test and a whole file
// read back.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#ifndef PCMPACK_TOOL
#error "PCMPACK_TOOL must name the built pcmpack binary"
#endif

namespace tool_harness {

// The built tool, or the one PCMPACK_TOOL_UNDER_TEST names (an earlier
// build, to see which rows of a table it fails).
inline std::string tool() {
    const char *under_test = std::getenv("PCMPACK_TOOL_UNDER_TEST");
    return under_test && *under_test ? under_test : PCMPACK_TOOL;
}

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A command's exit status and what it wrote on stderr.
struct Outcome {
    int status = -1;
    std::string err;
};

// Runs shell text in folder `dir` with the tool as $P and an empty standard
// input; standard output goes to `out` (a name in the folder, or
// /dev/null), stderr to the folder's .err.
inline Outcome run_script(const std::string &dir, const std::string &script,
                          const std::string &out = "/dev/null") {
    std::ofstream(dir + "/.script") << "P='" << tool() << "'\n" << script << "\n";
    const std::string cmd = "cd '" + dir + "' && sh .script </dev/null >" + out + " 2>.err";
    Outcome r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.err = slurp(dir + "/.err");
    return r;
}

}  // namespace tool_harness
