// The template reader on generated templates of 1, 10 and 50 MB, beside pugixml parsing the
// same bytes. The time per MB must not grow with the size: the scan is linear.
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCERTDESK_BENCH=ON
//   cmake --build build-bench --target xml_bench && build-bench/bin/xml_bench
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include <pugixml.hpp>

#include "certdesk/codec.h"
#include "certdesk/xml_parser.h"

namespace {

constexpr std::size_t kMegabyte = 1024 * 1024;

struct Template {
    std::string bytes;
    std::size_t records = 0;
};

// A subject template followed by records shaped like its fields: Cyrillic Windows-1251 text,
// attributes in both quote styles, entities, a comment and a CDATA section now and then.
// Over 200 bytes per tag keep 50 MB well within the reader's step limit.
Template Generate(std::size_t megabytes) {
    using certdesk::Ansi;
    Template t;
    t.bytes = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<template>\r\n";
    t.bytes += "  <subject>" +
               Ansi(
                   "CN=Иванов Иван Иванович,SN=Иванов,GN=Иван Иванович,O=ООО &quot;Ромашка&quot;,"
                   "L=Челябинск,INN=007451234567,unstructuredName=INN=7451234567/КПП=745101001") +
               "</subject>\r\n";
    t.bytes += "  <subjectAltName><businessCategory>" + Ansi("Директор") +
               "</businessCategory></subjectAltName>\r\n";
    const std::string street = Ansi("ул. Ленина, д. 1 &amp; кв. 2, г. Челябинск, Челябинская обл.");
    const std::string name = Ansi(
        "Петров Пётр Петрович &lt;главный бухгалтер&gt; отдела учёта, ОГРН 1027401234567, "
        "СНИЛС 112-233-445 95, ИНН 745112345678, petrov@example.ru");
    while (t.bytes.size() < megabytes * kMegabyte) {
        const std::string id = std::to_string(t.records);
        if (t.records % 50 == 0) {
            t.bytes += "  <!-- " + Ansi("группа ") + id + " -->\r\n";
        }
        t.bytes += "  <record id=\"" + id + "\" kind='person' note=\"a > b\">";
        if (t.records % 20 == 0) {
            t.bytes += "<![CDATA[" + name + " <" + street + ">]]>";
        } else {
            t.bytes += name + ", " + street;
        }
        t.bytes += "</record>\r\n";
        ++t.records;
    }
    t.bytes += "</template>\r\n";
    t.records += 2;  // subject and subjectAltName
    return t;
}

const Template& Cached(std::size_t megabytes) {
    static std::map<std::size_t, Template> cache;
    auto found = cache.find(megabytes);
    if (found == cache.end()) {
        found = cache.emplace(megabytes, Generate(megabytes)).first;
    }
    return found->second;
}

void Report(benchmark::State& state, const Template& t) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.bytes.size()));
    state.counters["MB"] = static_cast<double>(t.bytes.size()) / kMegabyte;
    state.counters["per_MB"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(t.bytes.size()) / kMegabyte,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Reader(benchmark::State& state) {
    const Template& t = Cached(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        certdesk::TquorXMLParser2 parser;
        parser.LoadFromString(t.bytes);
        if (parser.Children.Count() != t.records) {
            state.SkipWithError("the reader stopped before the end of the template");
            break;
        }
        benchmark::DoNotOptimize(parser.Children.Count());
    }
    Report(state, t);
}

void BM_Pugixml(benchmark::State& state) {
    const Template& t = Cached(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pugi::xml_document document;
        // Bytes taken as they are, like the reader does, with no code-page conversion.
        const pugi::xml_parse_result result = document.load_buffer(
            t.bytes.data(), t.bytes.size(), pugi::parse_default, pugi::encoding_utf8);
        if (!result) {
            state.SkipWithError(result.description());
            break;
        }
        benchmark::DoNotOptimize(document.first_child());
    }
    Report(state, t);
}

BENCHMARK(BM_Reader)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pugixml)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

// Remembers each run's time per MB so the ratio to pugixml can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto perMb = run.counters.find("per_MB");
            if (!run.error_occurred && perMb != run.counters.end()) {
                times_[run.benchmark_name()] = perMb->second.value;
            }
        }
    }
    void PrintRatios() const {
        std::printf("\n%8s %16s %16s %8s\n", "size MB", "reader ms/MB", "pugixml ms/MB", "ratio");
        for (const char* size : {"1", "10", "50"}) {
            const auto reader = times_.find(std::string("BM_Reader/") + size);
            const auto pugixml = times_.find(std::string("BM_Pugixml/") + size);
            if (reader == times_.end() || pugixml == times_.end()) {
                continue;
            }
            std::printf("%8s %16.3f %16.3f %8.2f\n", size, reader->second * 1e3,
                        pugixml->second * 1e3, reader->second / pugixml->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
