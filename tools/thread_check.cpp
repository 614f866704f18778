// Drives the C++ core from several threads at once, as the Python module does
// once it lets go of the interpreter lock: lookups in one shared manifest,
// whole-document parses of one shared text, and additions both to one shared
// manifest (the writers' lock orders them) and to each thread's own. Built
// with ThreadSanitizer by scripts/tsan_core.sh, which fails on any report;
// the program itself fails when a result is wrong or a reader was lost.
#include "io/read_file.hpp"
#include "schema/manifest.hpp"
#include "schema/operations.hpp"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace corvane;

constexpr int kThreads = 4;
constexpr int kRounds = 40;

const char *const kManifest = "corvane:\n"
                              "  server_config:\n"
                              "    echo: false\n"
                              "    port: 3000\n"
                              "    enable_metrics: true\n"
                              "    heartbeat_check_interval: 10\n"
                              "    management_port: 3001\n"
                              "    vertex_port: 3002\n"
                              "    openai_port: 3003\n"
                              "    snowflake_port: 3004\n"
                              "    internal_port: 3005\n"
                              "    repository_path: /srv/models\n"
                              "    body_size_limit_bytes: 2097152\n"
                              "    allow_remote_images: false\n"
                              "  readers_config:\n"
                              "    shared:\n"
                              "      model_name: shared-model\n"
                              "      device: cuda\n"
                              "      consumer_group: primary\n"
                              "      max_batch_size: 8\n"
                              "    aliased: &a {model_name: m, device: cpu, consumer_group: g}\n"
                              "    again: *a\n";

bool write_text(const std::string &path, const char *text) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    bool written = std::fputs(text, file) >= 0;
    return std::fclose(file) == 0 && written;
}

bool fail(const char *what, int thread) {
    std::fprintf(stderr, "thread %d: %s\n", thread, what);
    return false;
}

bool work(int thread, const std::string &shared_path, const std::string &own_path) {
    const std::string_view text(kManifest);
    ReaderConfig reader;
    reader.model_name = "model-" + std::to_string(thread);
    reader.device = "cpu";
    for (int round = 0; round < kRounds; ++round) {
        auto found = read_reader_config(shared_path, "shared");
        if (!found || found->max_batch_size != 8u)
            return fail("lookup of the shared reader", thread);
        auto sections = parse_manifest_for_lookup(text, std::string_view("again"));
        if (!sections || sections->size() != 1)
            return fail("parse of the shared text", thread);
        const std::string id = "t" + std::to_string(thread) + "-" + std::to_string(round);
        if (!add_to_manifest_yaml(reader, shared_path, id))
            return fail("addition to the shared manifest", thread);
        if (!add_to_manifest_yaml(reader, own_path, id))
            return fail("addition to the thread's own manifest", thread);
    }
    auto own = read_from_manifest_yaml(own_path);
    if (!own || own->readers_config.size() != 3 + kRounds)
        return fail("readers of the thread's own manifest", thread);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: thread_check DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];
    const std::string shared_path = directory + "/shared.yaml";
    if (!write_text(shared_path, kManifest))
        return fail("cannot write the shared manifest", -1) ? 0 : 1;
    std::vector<std::string> own_paths;
    for (int thread = 0; thread < kThreads; ++thread) {
        own_paths.push_back(directory + "/own-" + std::to_string(thread) + ".yaml");
        if (!write_text(own_paths.back(), kManifest))
            return fail("cannot write a thread's manifest", thread) ? 0 : 1;
    }
    std::vector<char> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back(
            [&, thread] { ok[thread] = work(thread, shared_path, own_paths[thread]); });
    for (auto &running : threads)
        running.join();
    for (char passed : ok)
        if (!passed)
            return 1;
    auto shared = read_from_manifest_yaml(shared_path);
    if (!shared || shared->readers_config.size() != 3 + kThreads * kRounds)
        return fail("a reader added to the shared manifest was lost", -1) ? 0 : 1;
    std::printf("thread_check: %d threads x %d rounds, every result exact, no reader lost\n",
                kThreads, kRounds);
    return 0;
}
