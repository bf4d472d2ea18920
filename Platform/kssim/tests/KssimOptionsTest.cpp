// kssim's command line as a user types it: a bad value is a usage error that
// names the option (exit 2, no signal, no hang), and a rate is either the one
// both pins stream at or refused with the rates the devices offer.
#include <gtest/gtest.h>

#include "ToolProcess.h"

namespace {

TEST(KssimOptions, EveryBadValueIsAUsageErrorNamingTheOption) {
    kp::tooltest::TempMachine machine("kssim-options");
    auto kssim = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", machine.Folder().string(), "--out",
                                   (machine.Folder() / "out").string()});
        return kp::tooltest::RunProcess(KP_KSSIM, args, {}, 120);
    };
    const struct {
        std::vector<std::string> Args;
        std::string Says;
    } bad[] = {
        {{"--in-flight", "100000"}, "--in-flight 100000: must be a whole number from 1 to 64"},
        {{"--in-flight", "-1"}, "--in-flight -1:"},
        {{"--seconds", "1e12"}, "--seconds 1e12: must be a number from 0.01 to 3600"},
        {{"--rate", "-5"}, "--rate -5:"},
        {{"--min-erle", "abc"}, "--min-erle abc:"},
        {{"--far-only", "-3"}, "--far-only -3:"},
        {{"--far-only", "20", "--seconds", "10"}, "--far-only 20: must be from 0 to 10"},
        {{"--recorrelate-at", "-1"}, "--recorrelate-at -1:"},
        {{"--recorrelate-at", "10", "--seconds", "10"}, "--recorrelate-at 10:"},
        {{"--scenario", "mutewell", "--rate", "16000"}, "--rate is an option of the echowell"},
        {{"--scenario", "mutewell", "--seconds", "0.5"}, "--seconds 0.5:"},
        // Known only once the machine is up: refused before anything streams.
        {{"--rate", "48000", "--seconds", "1"},
         "--rate 48000: not offered: the render pin offers 8000 Hz, 16000 Hz"},
    };
    for (const auto& c : bad) {
        auto result = kssim(c.Args);
        SCOPED_TRACE(c.Args[0] + " " + c.Args[1]);
        EXPECT_EQ(result.ExitCode, 2) << result.Stderr;
        EXPECT_NE(result.Stderr.find("kssim: " + c.Says), std::string::npos) << result.Stderr;
        EXPECT_EQ(result.Stdout.find("render:"), std::string::npos) << result.Stdout;
    }
    auto rate = kssim({"--rate", "8000", "--seconds", "1"});
    EXPECT_EQ(rate.ExitCode, 0) << rate.Stderr;
    EXPECT_NE(rate.Stdout.find("render:  8000 Hz"), std::string::npos) << rate.Stdout;
    EXPECT_NE(rate.Stdout.find("capture: 8000 Hz"), std::string::npos) << rate.Stdout;
    auto help = kssim({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_EQ(help.Stderr, "");
    for (const char* option : {"--rate HZ", "--realtime", "--in-flight N", "default 16000"})
        EXPECT_NE(help.Stdout.find(option), std::string::npos) << option;
}

}  // namespace
