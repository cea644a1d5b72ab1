// SPDX-License-Identifier: BSD-2-Clause
// Outputs keep the promises of the shell's `>` and of `cp`: a run removes
// only what it created, replaces only what the user may write and said may
// be replaced (keeping its owner and mode), follows only
// the links `>` would, writes a descriptor as the shell opened it, commits
// the outputs of one run together or puts back what it replaced, and
// refuses before it reads any audio.
// Every row runs twice: as the system is, and with open(O_TMPFILE) refused
// as on NFS, SMB, vfat or FUSE, so that the named temporary files are
// tested too.
#include <gtest/gtest.h>

#include "tool_harness.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

#ifndef PCMPACK_NO_TMPFILE_SHIM
#error "PCMPACK_NO_TMPFILE_SHIM must name the library that refuses O_TMPFILE"
#endif
#ifndef PCMPACK_ON_TERMINAL
#error "PCMPACK_ON_TERMINAL must name the script that runs a command on a terminal"
#endif

namespace {

using tool_harness::slurp;
using tool_harness::tool;

struct OutputCase;
void PrintTo(const OutputCase &c, std::ostream *os);

struct OutputCase {
    const char *name;
    const char *setup;    // shell, as root, after in.wav, want.es and u/ exist
    // shell; $P runs the tool, $NOBODY runs as uid 65534, `$TTY ANSWER ...`
    // on a terminal with ANSWER typed, `${FAIL}CALL:error=E:when=N ...` with
    // the Nth system call CALL failing with E
    const char *command;
    int status;
    const char *message;  // in stderr when status is not 0
    const char *check;    // shell test that holds afterwards ("" = every file as it was)
    bool header_only;     // the input $IN is a pipe that gives the WAV header, then waits
};

// u/ belongs to nobody; shared/ is sticky and writable by all, like /tmp.
const OutputCase kOutputs[] = {
    // A run removes only what it created.
    {"keeps_an_old_file_named_like_a_temporary",
     "echo mine > .out.es.pcmpack-abc123 && touch -d '3 days ago' .out.es.pcmpack-abc123",
     "$P encode in.wav -o out.es -t dvd", 0, "",
     "cmp out.es want.es && test \"$(cat .out.es.pcmpack-abc123)\" = mine", false},
    // Each name creation fails as if taken, and a signal arrives at once:
    // nothing was created, so nothing may be removed.
    {"removes_no_name_it_failed_to_create", "",
     "{ ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o trace "
     "-e trace=linkat,unlink,unlinkat -e inject=linkat:error=EEXIST:signal=SIGTERM "
     "$P encode in.wav -o out.es -t dvd; } 2>/dev/null; true",
     0, "", "test -f trace && ! grep unlink trace", false},
    {"file_size_limit_removes_the_temporary", "",
     "(ulimit -f 4; exec $P encode in.wav -o out.es -t dvd)", 128 + SIGXFSZ, "", "", false},

    // Only what the user may write is replaced; root writes as `>` does.
    {"read_only_file_refused", "echo old > u/ro.es && chown nobody u/ro.es && chmod 444 u/ro.es",
     "cd u && $NOBODY $P encode $IN -o ro.es -t dvd", 1, "ro.es: cannot replace: Permission denied",
     "", true},
    {"read_only_file_written_by_root", "echo old > ro.es && chmod 444 ro.es",
     "$P encode in.wav -o ro.es -t dvd -y", 0, "",
     "cmp ro.es want.es && test \"$(stat -c %a ro.es)\" = 444", false},
    {"read_only_folder_refused", "mkdir u/ro && chown nobody u/ro && chmod 555 u/ro",
     "cd u && $NOBODY $P encode $IN -o ro/out.es -t dvd", 1,
     "ro/out.es: cannot create a file in ro: Permission denied (the folder is not writable)", "",
     true},
    {"writable_file_in_read_only_folder_names_the_folder",
     "mkdir u/ro && echo old > u/ro/t.ts && chown -R nobody:nogroup u/ro && chmod 555 u/ro",
     "cd u && $NOBODY $P encode $IN -o ro/t.ts -y", 1,
     "ro/t.ts: cannot create a file in ro: Permission denied (the folder is not writable)", "",
     true},
    {"missing_folder_refused", "", "$P encode $IN -o none/out.es -t dvd", 1,
     "none/out.es: cannot create: No such file or directory", "", true},
    {"name_too_long_for_its_temporary", "",
     "$P encode $IN -o "
     "n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789"
     "n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789"
     "n123456789n123456789n123456789n123456789n123456789n123456789n123456789n123456789"
     "n123456.es -t dvd",
     1, "6.es: name too long: its temporary name", "", true},
    {"unpack_refuses_before_reading", "", "$P unpack $IN -o none/out.wav", 1,
     "none/out.wav: cannot create", "", true},

    // A link planted by another user in a shared folder is not followed.
    {"foreign_link_in_shared_folder_refused",
     "echo old > target.es && ln -s ../target.es shared/link.es && chown -h nobody shared/link.es",
     "$P encode in.wav -o shared/link.es -t dvd", 1,
     "shared/link.es: a symbolic link that another user planted in a shared folder", "", false},
    {"own_link_in_shared_folder_followed",
     "echo old > u/target.es && chown nobody:nogroup u/target.es && "
     "ln -s ../u/target.es shared/link.es && chown -h nobody shared/link.es",
     "$NOBODY $P encode in.wav -o shared/link.es -t dvd -y", 0, "",
     "test -L shared/link.es && cmp u/target.es want.es", false},

    // A descriptor is written as the shell opened it.
    {"dev_stdout_appends", "echo old > f", "$P encode in.wav -o /dev/stdout -t dvd >> f", 0, "",
     "{ echo old; cat want.es; } | cmp - f", false},
    {"group_redirect_keeps_before_and_after", "",
     "{ echo a; $P encode in.wav -o /dev/stdout -t dvd; echo b; } > f", 0, "",
     "{ echo a; cat want.es; echo b; } | cmp - f", false},
    {"dev_fd_appends", "echo old > f", "$P encode in.wav -o /dev/fd/3 -t dvd 3>> f", 0, "",
     "{ echo old; cat want.es; } | cmp - f", false},
    {"proc_self_fd_keeps_before", "",
     "{ echo a >&3; $P encode in.wav -o /proc/self/fd/3 -t dvd; } 3> f", 0, "",
     "{ echo a; cat want.es; } | cmp - f", false},
    {"wav_after_other_bytes", "",
     "{ echo a; $P tone -o /dev/stdout --seconds 0.1; } > f", 0, "",
     "$P tone -o t.wav --seconds 0.1 && tail -c +3 f | cmp - t.wav", false},
    {"wav_refused_on_append", "echo old > f", "$P tone -o - --seconds 0.1 >> f", 1,
     "stdout: a WAV file's header is completed after its audio, so it cannot be written to a "
     "file opened for appending (>>)",
     "", false},

    // The outputs of one run appear together or not at all.
    {"failed_index_keeps_the_stream", "echo old > out.es",
     "$P encode in.wav -o out.es --index /dev/full -t dvd -y", 1,
     "/dev/full: write failed: No space left on device", "", false},
    {"failed_stream_keeps_the_index", "echo old > out.csv",
     "$P encode in.wav -o /dev/full --index out.csv -t dvd -y", 1,
     "/dev/full: write failed: No space left on device", "", false},

    // A failed step of putting them in place puts back what the earlier
    // steps replaced, and the message names the step.
    {"failed_first_rename_replaces_nothing", "echo A > a.es && echo B > a.csv",
     "${FAIL}rename:error=EACCES:when=1 $P encode in.wav -o a.es --index a.csv -t dvd -y", 1,
     "pcmpack: cannot put a.es in place (rename: Permission denied); no file was replaced", "",
     false},
    {"failed_second_rename_puts_the_first_back", "echo A > a.wav && echo B > b.ac3",
     "${FAIL}rename:error=EACCES:when=2 $P unpack bursts.es -o a.wav --data-out b.ac3 -y", 1,
     "pcmpack: cannot put b.ac3 in place (rename: Permission denied); a.wav was left as it was",
     "", false},
    {"failed_rename_removes_what_was_not_there", "echo B > a.csv",
     "${FAIL}rename:error=EACCES:when=2 $P encode in.wav -o a.es --index a.csv -t dvd -y", 1,
     "cannot put a.csv in place (rename: Permission denied); a.es was left as it was", "", false},
    {"failed_link_to_an_old_file_replaces_nothing", "echo A > a.es && echo B > a.csv",
     "${FAIL}link:error=EMLINK:when=2 $P encode in.wav -o a.es --index a.csv -t dvd -y", 1,
     "cannot keep a.csv while the other outputs are put in place (link: Too many links); no file "
     "was replaced",
     "", false},
    {"failed_sync_of_the_second_file_replaces_nothing", "echo A > a.es && echo B > a.csv",
     "${FAIL}fdatasync:error=EIO:when=2 $P encode in.wav -o a.es --index a.csv -t dvd -y", 1,
     "a.csv: sync to disk failed: Input/output error; no file was replaced", "", false},
    {"failed_folder_sync_puts_both_back", "echo A > a.es && echo B > a.csv",
     "${FAIL}fsync:error=EIO:when=2 $P encode in.wav -o a.es --index a.csv -t dvd -y", 1,
     "cannot sync the folder of a.csv to disk (fsync: Input/output error); a.es and a.csv were "
     "left as they were",
     "", false},

    // An existing file is replaced only when the user says so; what the
    // shell opened is the shell's business.
    {"existing_stream_refused_before_reading", "echo old > out.es",
     "$P encode $IN -o out.es -t dvd", 1, "pcmpack: out.es exists; add -y (--overwrite) to replace it",
     "", true},
    {"existing_master_wav_refused_by_tone", "", "$P tone -o in.wav --seconds 0.1", 1,
     "pcmpack: in.wav exists; add -y (--overwrite) to replace it", "", false},
    {"existing_data_out_refused_by_unpack", "echo old > b.ac3",
     "$P unpack $IN -o new.wav --data-out b.ac3", 1,
     "pcmpack: b.ac3 exists; add -y (--overwrite) to replace it", "", true},
    {"existing_index_refused_through_a_link", "echo old > real.csv && ln -s real.csv i.csv",
     "$P encode $IN -o new.es --index i.csv -t dvd", 1,
     "pcmpack: i.csv exists; add -y (--overwrite) to replace it", "", true},
    {"terminal_answer_no_keeps_the_file", "echo old > out.es",
     "$TTY n $P encode in.wav -o out.es -t dvd > shown; test $? = 1", 0, "",
     "test \"$(cat out.es)\" = old && grep -qF \"File 'out.es' already exists. Overwrite? [y/N] "
     "pcmpack: out.es exists; not replaced\" shown",
     false},
    {"terminal_answer_yes_replaces", "echo old > out.es",
     "$TTY yes $P encode in.wav -o out.es -t dvd > shown", 0, "",
     "cmp out.es want.es && grep -qF \"File 'out.es' already exists. Overwrite? [y/N]\" shown",
     false},
    {"redirection_over_a_file_is_the_shells", "echo old > f", "$P encode in.wav -o - -t dvd > f",
     0, "", "cmp f want.es", false},

    // A replaced file keeps its owner, group and mode, also in a sticky
    // folder of another user, where only root may rename over the file.
    {"replaced_file_keeps_owner_group_and_mode",
     "echo old > out.es && chown 12345:12345 out.es && chmod 604 out.es",
     "$P encode in.wav -o out.es -t dvd -y", 0, "",
     "cmp out.es want.es && test \"$(stat -c %u:%g:%a out.es)\" = 12345:12345:604", false},
    {"replaced_file_in_sticky_folder_keeps_its_owner",
     "mkdir st && chown 23456 st && chmod 1777 st && echo old > st/out.es && "
     "chown 12345:12345 st/out.es && chmod 640 st/out.es",
     "$P encode in.wav -o st/out.es --index st/out.csv -t dvd -y", 0, "",
     "cmp st/out.es want.es && test \"$(stat -c %u:%g:%a st/out.es)\" = 12345:12345:640", false},
    {"another_users_file_refused_to_a_user", "echo old > u/g.es && chmod 666 u/g.es",
     "cd u && $NOBODY $P encode $IN -o g.es -t dvd -y", 1,
     "g.es: cannot replace it keeping its owner and group 0:0 (fchown: Operation not permitted)",
     "", true},

    // An input renamed over the output's name while the stream is synced
    // to disk is not replaced.
    {"input_renamed_to_the_output_during_the_run", "cp in.wav a.wav",
     "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o /dev/null "
     "-e inject=fdatasync:delay_enter=2000000 $P encode a.wav -o out.es -t dvd & pid=$!\n"
     "sleep 1; mv a.wav out.es; wait $pid",
     1, "out.es: is now the same file as the input a.wav", "cmp out.es in.wav", false},
};

void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.name; }

// A fresh folder per row, run as root; the tool is $P, without or with the
// shim that refuses O_TMPFILE.
class Outputs : public ::testing::TestWithParam<std::tuple<OutputCase, bool>> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the rows switch users and own files for others: run as root";
        char pattern[] = "/tmp/pcmpack-outputs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string prologue = "P='" + tool() + "'\n";
        if (std::get<1>(GetParam()))
            prologue = "P='env LD_PRELOAD=" PCMPACK_NO_TMPFILE_SHIM " " + tool() +
                       "'\nexport ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\n";
        prologue_ = prologue + "NOBODY='setpriv --reuid=65534 --regid=65534 --clear-groups'\n"
                               "TTY='python3 " PCMPACK_ON_TERMINAL "'\n"
                               "FAIL=\"env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "
                               "strace -f -qq -o /dev/null -e inject=\"\n";
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    int sh(const std::string &script, std::string *err = nullptr) const {
        std::ofstream(path(".script")) << prologue_ << script << "\n";
        const std::string cmd = "cd '" + dir_ + "' && sh .script </dev/null >.out 2>.err";
        const int raw = std::system(cmd.c_str());
        if (err) *err = slurp(path(".err"));
        for (const char *f : {".script", ".out", ".err"}) unlink(path(f).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

    // Name and contents of every file below the folder, hidden ones too.
    std::map<std::string, std::string> snapshot(const std::string &sub = "") const {
        std::map<std::string, std::string> files;
        DIR *d = opendir(path(sub).c_str());
        while (dirent *e = d ? readdir(d) : nullptr) {
            const std::string n = sub + e->d_name;
            struct stat st;
            if (std::string(e->d_name) == "." || std::string(e->d_name) == ".." ||
                lstat(path(n).c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                files[n] = "(folder)";
                files.merge(snapshot(n + "/"));
            } else {
                files[n] = S_ISREG(st.st_mode) ? slurp(path(n)) : std::string("(special)");
            }
        }
        if (d) closedir(d);
        return files;
    }

    std::string dir_, prologue_;
};

TEST_P(Outputs, KeepThePromisesOfTheShell) {
    const OutputCase &c = std::get<0>(GetParam());
    const std::string command = c.command;
    if ((command.find("strace") != std::string::npos || command.find("$FAIL") != std::string::npos) &&
        sh("strace -qq -o /dev/null true") != 0)
        GTEST_SKIP() << "strace cannot trace here";
    ASSERT_EQ(sh("chmod 755 . && $P tone -o in.wav --seconds 0.05 && "
                 "$P encode in.wav -o want.es -t dvd && mkdir u shared && chown nobody u && "
                 "chmod 1777 shared && mkfifo -m 666 feed && "
                 "ffmpeg -v error -f lavfi -i sine=d=0.2:sample_rate=48000 -ac 2 -c:a ac3 -f ac3 b.raw && "
                 "$P encode --data b.raw -o bursts.es --frame-rate 25 && rm b.raw"),
              0);
    ASSERT_EQ(sh(c.setup), 0) << c.setup;
    const auto before = snapshot();
    // The header-only feeder outlives the run only if the tool refused
    // before it waited for audio.
    const std::string script =
        c.header_only ? "IN=$PWD/feed\n(head -c 44 in.wav; exec sleep 20) > feed & feeder=$!\n" +
                            command + "\nstatus=$?\nkill $feeder 2>/dev/null && touch " + path("early") + "\n"
                            "exit $status"
                      : command;
    std::string err;
    EXPECT_EQ(sh(script, &err), c.status) << err;
    if (c.status == 1) {
        EXPECT_EQ(err.rfind("pcmpack: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    } else if (c.status == 0) {
        EXPECT_EQ(err, "");
    }
    if (c.header_only) {
        EXPECT_EQ(access(path("early").c_str(), F_OK), 0) << "audio was awaited before the refusal";
        unlink(path("early").c_str());
    }
    if (*c.check) {
        EXPECT_EQ(sh(c.check), 0) << c.check;
    } else {
        EXPECT_TRUE(snapshot() == before) << "a file changed, appeared or disappeared";
    }
    for (const auto &[name, bytes] : snapshot()) {
        if (!before.count(name)) {
            EXPECT_EQ(name.find(".pcmpack-"), std::string::npos) << "left behind: " << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tool, Outputs, ::testing::Combine(::testing::ValuesIn(kOutputs), ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_without_o_tmpfile" : "");
    });

}  // namespace
