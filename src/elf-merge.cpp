// SPDX-License-Identifier: MIT
// elf-merge: composes one big-endian ELF32 ARM executable from the modules of
// a firmware, each named on the command line by the option letter of its slot.
#include "elf-merge.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

// ---------------------------------------------------------------------------
// Command line

void print_usage(const char* program, FILE* out)
{
    std::fprintf(out, "usage: %s\n", program);
    std::fputs(usage_text().c_str(), out);
}

[[noreturn]] void usage(const char* program)
{
    print_usage(program, stderr);
    std::exit(1);
}

// What was asked for is on standard output, or the run fails.
[[noreturn]] void exit_printed()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fatal("Error writing to standard output -- %s.\n", std::strerror(errno));
    std::exit(0);
}

// Modules are registered and read in command-line order; the first option
// that is not simply read ends the run here.
void parse_options(RUN& run, int argc, char** argv, const char* program)
{
    const OPTION_OUTCOME outcome = read_options(run, argc, argv);
    if (outcome.effect == OPTION_EFFECT::done)
        return;
    if (outcome.effect == OPTION_EFFECT::version) {
        std::printf("elf-merge %s\n", ELF_MERGE_VERSION);
        exit_printed();
    }
    if (outcome.effect == OPTION_EFFECT::list) {
        std::fputs(option_kinds().c_str(), stdout);
        exit_printed();
    }
    // --help | less: the text goes where a pager reads it.
    if (outcome.effect == OPTION_EFFECT::long_help) {
        print_usage(program, stdout);
        exit_printed();
    }
    std::fputs(outcome.message.c_str(), stderr);
    usage(program);
}

void check_settings(RUN& run, const char* program)
{
    if (!run.outfile) {
        std::fputs("Output file undefined.\n", stderr);
        usage(program);
    }
    // An empty name would only show up as a blank in a later message.
    if (run.dependency_file && !*run.dependency_file) {
        std::fputs("Dependency file name is empty.\n", stderr);
        usage(program);
    }
    if (const char* fault = settings_fault(run)) {
        std::fputs(fault, stderr);
        usage(program);
    }
}

// The run is over: close the module files and hand back the note, so that
// leak checkers see a clean exit.
void release_all(RUN& run, MERGED_IMAGE& image)
{
    release_modules(run.modules);
    release_image(image);
}

} // namespace

int main(int argc, char** argv)
{
    std::set_new_handler(out_of_memory);
    // A file size limit then fails the write with EFBIG, which is reported
    // and removes the output, rather than killing the run mid-write.
    std::signal(SIGXFSZ, SIG_IGN);
    // Stopped by a user or a build, a run leaves no partial file either.
    remove_outputs_on_signals();
    const char* program = argc > 0 ? argv[0] : "elf-merge";

    // The run's settings and modules, held for the life of the process.
    RUN run;
    parse_options(run, argc, argv, program);
    check_settings(run, program);
    // Worked out before anything is written: a path that no rule can name refuses the run.
    const std::string dependencies = run.dependency_file ? dependency_rule(run) : "";

    // Header, system entries, segments and their places, all checked.
    MERGED_IMAGE image = compose_image(run);
    // A dependency file that may not or cannot be written fails the run before the image is touched.
    WRITTEN_FILE depfile;
    if (run.dependency_file)
        open_dependency_file(run, depfile);

    // The output may be one of the inputs: whatever it would overwrite is read first.
    protect_inputs(run.modules, run.outfile);
    if (write_elf(run.outfile, image.ehdr, image.phdrs, image.note, image.note_size, image.sections) < 0)
        fatal("Error writing to %s -- %s.\n", run.outfile, std::strerror(errno));
    // A module rewritten while it was copied would leave an image of old and new bytes.
    confirm_inputs(run.modules);
    // Only a complete image is named, so a failed run leaves the build's rule as it was.
    if (run.dependency_file)
        write_dependency_file(run.dependency_file, depfile, dependencies);
    // The image is whole: it stays.
    set_removable(process.partial_output);
    release_all(run, image);
    return 0;
}
