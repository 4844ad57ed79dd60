// The recorder's options, display, writer and (for the record tests)
// extension modules run inside the test process against a real Xvfb; the
// arbitration and the input recording thread are driven directly, and what
// they produced is read back from the recording file and from standard
// output.
#pragma once

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "backend.h"
#include "debugging.h"
#include "display.h"
#include "input-records.h"
#include "journal-capture.h"
#include "last-input.h"
#include "timer.h"
#include "x-harness.h"
#include "zel.h"

namespace input_test {

class InputModules : public ::testing::Test {
  protected:
    // The options after the program name, before DISPLAY and FILENAME.  The
    // debug switch is set here, before any thread reads it.
    void start(std::vector<std::string> options = {"-user", "olga", "-tfn", "t-own"}, bool debug = false)
    {
        // A write to a connection the server closed must fail, not end the
        // test program (the recorder blocks the signal in its threads).
        signal(SIGPIPE, SIG_IGN);
        xvfb_ = std::make_unique<xtest::Xvfb>();
        client_ = std::make_unique<xtest::Client>(xvfb_->display());
        dir_ = xtest::temp_dir();
        path_ = dir_ + "/recording.zel";

        args_ = {"pelkrecorder-xpra-seamless"};
        args_.insert(args_.end(), options.begin(), options.end());
        args_.push_back(xvfb_->display());
        args_.push_back(path_);
        for (auto& a : args_) argv_.push_back(a.data());
        cli_parse_arguments(static_cast<int>(argv_.size()), argv_.data());
        debugging_set(debug || getenv("PELK_TEST_DEBUG") != nullptr);
        journal_clear();

        time_start();
        display_connection_setup();
        backend_thread_start();
        backend_running_ = true;
    }

    // Stops the writer and reads the whole file, which must be complete.
    Recording finish()
    {
        if (backend_running_) {
            backend_thread_stop();
            backend_running_ = false;
        }
        Recording r = read_recording(path_);
        EXPECT_EQ(r.status, ZEL_READ_END) << "the recording does not end in order";
        return r;
    }

    void TearDown() override
    {
        if (backend_running_) backend_thread_stop();
        backend_running_ = false;
        display_connection_teardown();
        client_.reset();
        xvfb_.reset();
    }

    // Publishes a member property on the root: the atom of name.
    xcb_atom_t publish(const std::string& name, const std::string& value)
    {
        client_->set_root_property(name, "STRING", value);
        return client_->atom(name);
    }

    std::vector<std::string> journal_messages()
    {
        std::vector<std::string> out;
        for (auto& e : journal_entries()) out.push_back(e.message);
        return out;
    }

    std::unique_ptr<xtest::Xvfb> xvfb_;
    std::unique_ptr<xtest::Client> client_;
    std::string dir_;
    std::string path_;
    std::vector<std::string> args_;
    std::vector<char*> argv_;
    bool backend_running_ = false;
};

} // namespace input_test
