// A last-input member for tests: a real X client that publishes its member
// property on the root window and sends the member protocol's client
// messages to the root, so that a test can play one or several participants.
//
//   member-client DISPLAY [COMMAND ...]
//
// Each COMMAND argument is one command; without any, commands are read from
// standard input, one per line.  Every command ends with a round trip, after
// which "ok" (and any value asked for) is printed on standard output, so the
// caller knows the server has the property or the message.
//
//   atom NAME          intern NAME and use it as this member's atom (prints it)
//   publish NAME TFN   root property <atom> = NAME, a zero byte, TFN (STRING, 8)
//   publish-hex HEX    root property <atom> = the bytes of HEX (any length)
//   publish-tfn NAME N property with a tfn of N bytes 'a'..'z' repeating
//   delete             delete the property
//   register | heartbeat | leave       the message with this member's atom
//   key TIME [WHO]     vote about a key press at TIME; WHO: self (default) or an atom number
//   button TIME [WHO]  the same for a button press
//   raw W0 W1 W2 W3 W4 a client message with these five data words
//   echo TEXT          print TEXT (after the round trip), for synchronising
//   quit               delete the property (if published), round trip, exit
//
// At exit (end of input or quit) a published property is deleted first:
// root properties outlive the client that set them.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum : uint32_t {
    REGISTER = 1,
    HEARTBEAT = 2,
    LEAVE = 3,
    KEY_PRESS = 4,
    BUTTON_PRESS = 5,
};

struct Member {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t atom = 0;
    xcb_atom_t message_type = 0;
    bool published = false;
};

[[noreturn]] void fail(const std::string& what)
{
    fprintf(stderr, "member-client: %s\n", what.c_str());
    exit(1);
}

xcb_atom_t intern(xcb_connection_t* c, const std::string& name)
{
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    if (r == nullptr) fail("InternAtom failed for " + name);
    xcb_atom_t a = r->atom;
    free(r);
    return a;
}

void round_trip(Member& m)
{
    free(xcb_get_input_focus_reply(m.c, xcb_get_input_focus(m.c), nullptr));
    if (xcb_connection_has_error(m.c) != 0) fail("connection broken");
}

void set_property(Member& m, const std::string& value)
{
    if (m.atom == 0) fail("no atom chosen (use: atom NAME)");
    xcb_change_property(m.c, XCB_PROP_MODE_REPLACE, m.root, m.atom, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(value.size()), value.data());
    m.published = true;
}

void send_message(Member& m, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3 = 0, uint32_t w4 = 0)
{
    xcb_client_message_event_t e{};
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.window = m.root;
    e.type = m.message_type;
    e.data.data32[0] = w0;
    e.data.data32[1] = w1;
    e.data.data32[2] = w2;
    e.data.data32[3] = w3;
    e.data.data32[4] = w4;
    xcb_send_event(m.c, 0, m.root, XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE,
                   reinterpret_cast<const char*>(&e));
}

uint32_t number(const std::string& s)
{
    char* end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0') fail("not a number: " + s);
    return static_cast<uint32_t>(v);
}

std::string from_hex(const std::string& hex)
{
    if (hex.size() % 2 != 0) fail("odd hex length");
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Returns false on quit.
bool run(Member& m, const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    auto arg = [&](size_t i) -> const std::string& {
        if (i >= w.size()) fail("missing argument to " + cmd);
        return w[i];
    };
    std::string extra;

    if (cmd == "atom") {
        m.atom = intern(m.c, arg(1));
        extra = " " + std::to_string(m.atom);
    } else if (cmd == "publish") {
        set_property(m, arg(1) + std::string(1, '\0') + arg(2));
    } else if (cmd == "publish-hex") {
        set_property(m, w.size() > 1 ? from_hex(w[1]) : std::string());
    } else if (cmd == "publish-tfn") {
        std::string tfn;
        for (uint32_t i = 0, n = number(arg(2)); i < n; i++) tfn.push_back(static_cast<char>('a' + i % 26));
        set_property(m, arg(1) + std::string(1, '\0') + tfn);
    } else if (cmd == "delete") {
        xcb_delete_property(m.c, m.root, m.atom);
        m.published = false;
    } else if (cmd == "register") {
        send_message(m, REGISTER, m.atom, 0);
    } else if (cmd == "heartbeat") {
        send_message(m, HEARTBEAT, m.atom, 0);
    } else if (cmd == "leave") {
        send_message(m, LEAVE, m.atom, 0);
    } else if (cmd == "key" || cmd == "button") {
        uint32_t time = number(arg(1));
        uint32_t who = w.size() > 2 && w[2] != "self" ? number(w[2]) : m.atom;
        send_message(m, cmd == "key" ? KEY_PRESS : BUTTON_PRESS, who, time);
    } else if (cmd == "raw") {
        send_message(m, number(arg(1)), number(arg(2)), number(arg(3)), number(arg(4)), number(arg(5)));
    } else if (cmd == "echo") {
        round_trip(m);
        printf("%s\n", arg(1).c_str());
        fflush(stdout);
        return true;
    } else if (cmd == "quit") {
        return false;
    } else {
        fail("unknown command: " + cmd);
    }
    round_trip(m);
    printf("ok%s\n", extra.c_str());
    fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: member-client DISPLAY [COMMAND ...]\n");
        return 2;
    }
    Member m;
    int screen_number = 0;
    m.c = xcb_connect(argv[1], &screen_number);
    if (xcb_connection_has_error(m.c) != 0) fail(std::string("cannot connect to ") + argv[1]);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m.c));
    for (int i = 0; i < screen_number; i++) xcb_screen_next(&it);
    m.root = it.data->root;
    m.message_type = intern(m.c, "PELK_LAST_INPUT");

    bool more = true;
    if (argc > 2) {
        for (int i = 2; i < argc && more; i++) more = run(m, argv[i]);
    } else {
        for (std::string line; more && std::getline(std::cin, line);) more = run(m, line);
    }
    if (m.published) xcb_delete_property(m.c, m.root, m.atom);
    round_trip(m);
    printf("bye\n");
    xcb_disconnect(m.c);
    return 0;
}
