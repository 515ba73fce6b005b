// The folder search on 10,000 certificate files: listing, reading and the match key of each,
// beside just reading the same files. Prints the ratio of the two at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "certdesk/cert_info.h"
#include "certdesk/text_utils.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 10000;

// The folder of certificates, made once: one GOST certificate from openssl, its serial varied.
class CertificateFolder {
  public:
    CertificateFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base && base[0] ? base : "/tmp") + "/certdesk-bench-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        const std::string command =
            "cd '" + folder_.native() +
            "' && openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A "
            "-out key.pem >/dev/null 2>&1 && openssl req -engine gost -new -x509 -utf8 -days 365 "
            "-key key.pem -set_serial 0x10203040506070 -subj '/CN=Иванов Иван/O=ООО "
            "Ромашка/INN=007701234567/unstructuredName=INN=7701234567\\/КПП=770101001' "
            "-outform DER -out seed.der >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("openssl could not make the certificate");
        std::ifstream in(folder_ / "seed.der", std::ios::binary);
        std::string der((std::istreambuf_iterator<char>(in)), {});
        const std::size_t serial = der.find(std::string("\x10\x20\x30\x40\x50\x60\x70", 7));
        if (serial == std::string::npos)
            throw std::runtime_error("serial not found");
        fs::remove(folder_ / "seed.der");
        fs::remove(folder_ / "key.pem");
        for (int i = 0; i < kFiles; ++i) {
            der[serial + 4] = static_cast<char>(i >> 16);
            der[serial + 5] = static_cast<char>(i >> 8);
            der[serial + 6] = static_cast<char>(i);
            char name[32];
            std::snprintf(name, sizeof name, "cert%05d.cer", i);
            std::ofstream(folder_ / name, std::ios::binary) << der;
            paths_.push_back((folder_ / name).native());
        }
    }
    ~CertificateFolder() {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    std::string Folder() const { return certdesk::AnsiFromPath(folder_); }
    const std::vector<std::string>& Paths() const { return paths_; }

  private:
    fs::path folder_;
    std::vector<std::string> paths_;
};

const CertificateFolder& Folder() {
    static const CertificateFolder folder;
    return folder;
}

void BM_FolderSearch(benchmark::State& state) {
    const std::string folder = certdesk::IncludeTrailingSlash(Folder().Folder());
    const std::string tokenKey(64, '\x5A');  // a key that no file matches: every file is looked at
    for (auto _ : state) {
        int matches = 0;
        for (const std::string& name : certdesk::ListFiles(folder, "*.cer", certdesk::faArchive))
            if (certdesk::GetCertMatchKey(certdesk::ReadFileToString(folder + name)) == tokenKey)
                ++matches;
        benchmark::DoNotOptimize(matches);
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_ReadFilesOnly(benchmark::State& state) {
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        std::size_t total = 0;
        for (const std::string& path : Folder().Paths()) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer.data(), buffer.size())) > 0;)
                total += static_cast<std::size_t>(got);
            if (fd >= 0)
                ::close(fd);
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

BENCHMARK(BM_FolderSearch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadFilesOnly)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Remembers each benchmark's time per iteration for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration)
                times_[run.benchmark_name()] = {run.GetAdjustedRealTime(),
                                                run.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
    struct Times {
        double real;
        double cpu;
    };
    std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Folder();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto search = reporter.times_.find("BM_FolderSearch/min_time:2.000");
    const auto read = reporter.times_.find("BM_ReadFilesOnly/min_time:2.000");
    if (search != reporter.times_.end() && read != reporter.times_.end())
        std::printf("folder search / reading only: %.2f (real time), %.2f (CPU time)\n",
                    search->second.real / read->second.real, search->second.cpu / read->second.cpu);
    benchmark::Shutdown();
    return 0;
}
