// vexa-l2: look inside the chip's L2 entries and hashes.
//
//   vexa-l2 decode QWORD0 QWORD1 [--ports N] [--parity]
//   vexa-l2 encode MAC VLAN MASK FLAGS LASTSEEN [--ports N] [--parity]
//   vexa-l2 crc HEXKEY [--bits B]
//   vexa-l2 trailer WORD
//   vexa-l2 table NAME
//   vexa-l2            (a worked example of each)
//   vexa-l2 --version
//
// Exit status (kUsage's footer): 0 ok, 1 a failed check (decode --parity
// finds bad parity), 2 usage or malformed input: a value that is not a
// number, a MAC, a table name, or a field that does not fit its encoding.
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <VexaSwitchValues.h>

using namespace VexaSwitch;

namespace {

struct UsageError {
  std::string what;
};

constexpr char kUsage[] =
    "usage:\n"
    "  vexa-l2 decode QWORD0 QWORD1 [--ports N] [--parity]   two hardware words -> logical entry\n"
    "  vexa-l2 encode MAC VLAN MASK FLAGS LASTSEEN [--ports N] [--parity]\n"
    "                                                        logical entry -> two hardware words\n"
    "  vexa-l2 crc HEXKEY [--bits B]                         CRC10/11/12/13 of a key (B defaults to 4 per digit)\n"
    "  vexa-l2 trailer WORD                                  fields of an egress trailer word\n"
    "  vexa-l2 table NAME                                    parts of a table name, and the name rebuilt\n"
    "  vexa-l2                                               a worked example of each\n"
    "  vexa-l2 --version                                     the tool's version\n"
    "numbers may be decimal or 0x-hex; --ports defaults to 48; MAC is xx:xx:xx:xx:xx:xx\n"
    "encode refuses a field its words cannot hold: VLAN above 4095, MASK with a bit above N (N = --ports)\n"
    "or of 2^49 and above, FLAGS above 0x7, LASTSEEN above 0xff (the dirty bit is written 0)\n"
    "Exit status: 0 ok, 1 a failed check (bad parity), 2 usage or malformed input.\n";

enum Exit { OK = 0, FAILED_CHECK = 1, USAGE = 2 };

enum class Shown { decimal, hex };

// A decimal or 0x-hex number of at most `max` (a leading 0 is decimal, not
// octal). Bit fields and words are shown in hex in the range message.
U64 number(std::string const& s, char const* what, U64 max, Shown shown = Shown::decimal, std::string_view why = "") {
  bool hex = s.starts_with("0x") || s.starts_with("0X");
  std::string_view digits = std::string_view(s).substr(hex ? 2 : 0);
  bool digitsOk = !digits.empty();
  for (char c : digits)
    digitsOk = digitsOk && ((c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))));
  char* end = nullptr;
  errno = 0;
  unsigned long long v = digitsOk ? std::strtoull(s.c_str(), &end, hex ? 16 : 10) : 0;
  if (!digitsOk || *end != '\0') throw UsageError{fmt::format("{} '{}' is not a number", what, s)};
  if (errno == ERANGE || v > max)
    throw UsageError{fmt::format("{} {} is above {}{}{}", what, s,
                                 shown == Shown::hex ? fmt::format("{:#x}", max) : fmt::format("{}", max),
                                 why.empty() ? "" : ", ", why)};
  return v;
}

struct Options {
  std::vector<std::string> args;
  U8 ports = 48;
  bool parity = false;
  int bits = -1;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError{fmt::format("{} needs a value", a)};
      return argv[++i];
    };
    if (a == "--ports") {
      o.ports = static_cast<U8>(number(value(), "--ports", 55));
      if (o.ports < 3) throw UsageError{"--ports must be 3..55"};
    } else if (a == "--parity") {
      o.parity = true;
    } else if (a == "--no-parity") {
      o.parity = false;
    } else if (a == "--bits") {
      o.bits = static_cast<int>(number(value(), "--bits", 255));
    } else if (a.starts_with("--") && a != "--help") {
      throw UsageError{fmt::format("unknown option {}", a)};
    } else {
      o.args.push_back(a);
    }
  }
  return o;
}

void printEntry(L2LogicalEntry const& e) {
  fmt::print("  {}\n", valueToStrep(e));
  fmt::print("  mac {}  vlan {}  ports {:#x}  mcast {} (joinsToCpu {} dataToCpu {} joinsToEgress {})  lastSeen {} "
             "(timestamp {} dirty {})\n",
             valueToStrep(e.key().mac()), e.key().vlanId().value(), e.ingressPortMask().value(),
             e.mcastFlags().value(), e.mcastFlags().mcastJoinsToCpu(), e.mcastFlags().mcastDataToCpu(),
             e.mcastFlags().mcastJoinsToEgressPorts(), e.lastSeen().value(), e.lastSeen().timestamp(),
             e.lastSeen().dirty());
}

ProfileHwProperties profile(bool parity) {
  ProfileHwProperties p;
  p.parityEnabled = parity;
  return p;
}

// True unless parity was asked for and is bad.
bool decode(U64 q0, U64 q1, U8 ports, bool parity) {
  fmt::print("decode qword0 {:#018x} qword1 {:#018x} ({} ports, parity {}):\n", q0, q1, ports, parity ? "on" : "off");
  L2HashTableHwEntry hw(q0, q1);
  printEntry(L2LogicalEntry::fromHwEntry(hw, ports, profile(parity)));
  if (parity) {
    U64 p = parity64Bit(q0) ^ parity64Bit(q1);
    fmt::print("  parity {}\n", p ? "BAD (odd number of set bits)" : "ok");
    return p == 0;
  }
  return true;
}

L2HashTableHwEntry encode(L2LogicalEntry const& e, U8 ports, bool parity) {
  auto hw = e.hwEntry(ports, profile(parity));
  fmt::print("encode ({} ports, parity {}):\n", ports, parity ? "on" : "off");
  printEntry(e);
  fmt::print("  qword0 {:#018x}\n  qword1 {:#018x}\n", hw.qword0(), hw.qword1());
  return hw;
}

void crc(std::string const& hex, int bits) {
  std::string digits = hex.starts_with("0x") ? hex.substr(2) : hex;
  if (digits.empty() || digits.size() > 64) throw UsageError{"HEXKEY must have 1..64 hex digits"};
  U8 buf[40] = {};
  for (std::size_t i = 0; i < digits.size(); ++i) {
    char c = digits[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) throw UsageError{fmt::format("'{}' is not a hex key", hex)};
    buf[i / 2] = static_cast<U8>(buf[i / 2] | (i % 2 ? v : v << 4));
  }
  if (bits < 0) bits = static_cast<int>(std::min<std::size_t>(digits.size() * 4, 255));
  U8 b = static_cast<U8>(bits);
  fmt::print("crc of key {} ({} bits, zero-padded):\n", digits, bits);
  fmt::print("  crc10 {:#05x} {:#05x} {:#05x} {:#05x}\n", crc10Hash(buf, 0, b), crc10Hash(buf, 1, b),
             crc10Hash(buf, 2, b), crc10Hash(buf, 3, b));
  fmt::print("  crc11 {:#05x} {:#05x}\n", crc11Hash(buf, 0, b), crc11Hash(buf, 1, b));
  fmt::print("  crc12 {:#05x} {:#05x} {:#05x}\n", crc12Hash(buf, 0, b), crc12Hash(buf, 1, b), crc12Hash(buf, 2, b));
  fmt::print("  crc13 {:#06x} {:#06x} {:#06x}\n", crc13Hash(buf, 0, b), crc13Hash(buf, 1, b), crc13Hash(buf, 2, b));
}

void trailer(U32 w) {
  VexaEgressTrailer t(w);
  fmt::print("trailer {:#010x}: port {} lagGroup {} chip {} l2Control {} moved {} learn {}\n", w, t.port(),
             t.lagGroup(), t.chip(), t.l2Control(), t.moved(), t.learn());
}

int table(std::string const& name) {
  TableId id = TableId::fromTableName(name);
  if (!id) {
    fmt::print(stderr, "vexa-l2: '{}' is not a table name (vexaswitch/tables/<feature>/<table>[-dev<N>[-pipe<M>]])\n",
               name);
    return USAGE;
  }
  fmt::print("{}\n  {}\n  rebuilt: {}\n", name, valueToStrep(id), id.tableName());
  return OK;
}

// The entry of `encode`'s arguments. Every field must come back from the
// words unchanged: hwEntry() keeps mask bits 0..N (N ports) and writes the
// last-seen timestamp only (the dirty bit is written 0), so a field it
// would cut is refused here rather than encoded as something else.
L2LogicalEntry entryFrom(std::vector<std::string> const& a, U8 ports) {
  Bridging::EthAddr mac;
  try {
    Kel::CharRange macText(a[1]);
    mac = Bridging::EthAddr(macText);
    macText.checkAllDataConsumed();
  } catch (Kel::ParseException const&) {
    throw UsageError{fmt::format("MAC '{}' is not an Ethernet address (xx:xx:xx:xx:xx:xx)", a[1])};
  }
  L2LogicalEntry e(Bridging::MacVlanPair(mac, Bridging::VlanId(static_cast<U16>(number(a[2], "VLAN", 4095)))));
  // Bits 0..N, and below IngressPortMask::invalid (2^49), the no-ports marker.
  U64 const maskMax = std::min((U64(1) << (ports + 1)) - 1, IngressPortMask::invalid - 1);
  std::string const why = maskMax == IngressPortMask::invalid - 1
                               ? std::string("the highest port mask (2^49 marks an invalid one)")
                               : fmt::format("the highest mask of {} ports (bits 0..{})", ports, ports);
  e.ingressPortMaskIs(IngressPortMask(number(a[3], "MASK", maskMax, Shown::hex, why)));
  e.mcastFlagsIs(L2McastFlags(static_cast<U8>(number(a[4], "FLAGS", 7, Shown::hex))));
  e.lastSeenIs(L2HwLastSeen(
      static_cast<U16>(number(a[5], "LASTSEEN", 0xFF, Shown::hex, "the timestamp's 8 bits (the dirty bit is written 0)"))));
  return e;
}

void demo() {
  fmt::print("vexa-l2 demo: an L2 entry through the chip's two-word encoding, with and without parity,\n"
             "then the CRC hashes of its MAC, an egress trailer and a table name.\n\n");
  L2LogicalEntry e(Bridging::MacVlanPair(Bridging::EthAddr({1, 2, 3, 4, 5, 6}), Bridging::VlanId(10)));
  e.ingressPortMaskIs(IngressPortMask(0x1F));
  e.mcastFlagsIs(L2McastFlags(5));
  e.lastSeenIs(L2HwLastSeen(0x2A));
  for (bool parity : {true, false}) {
    auto hw = encode(e, 48, parity);
    decode(hw.qword0(), hw.qword1(), 48, parity);
    fmt::print("\n");
  }
  crc("123456789ABC", 48);
  fmt::print("\n");
  trailer(0xC0045443);
  fmt::print("\n");
  table("vexaswitch/tables/l3/lpm-dev2-pipe11");
  fmt::print("\nTry: vexa-l2 decode 0xF01020304050600A 0x0055A00000000001 --parity;  vexa-l2 --help\n");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
      fmt::print("vexa-l2 {}\n", VEXA_SWITCH_LIB_VERSION_STRING);
      return OK;
    }
    Options o = parse(argc, argv);
    if (argc > 1 && std::string_view(argv[1]) == "--help") {
      fmt::print("{}", kUsage);
      return OK;
    }
    if (o.args.empty()) {
      demo();
      return OK;
    }
    std::string const& cmd = o.args[0];
    auto need = [&](std::size_t n) {
      if (o.args.size() != n + 1) throw UsageError{fmt::format("{} takes {} argument(s)", cmd, n)};
    };
    if (cmd == "decode") {
      need(2);
      if (!decode(number(o.args[1], "QWORD0", ~U64(0), Shown::hex), number(o.args[2], "QWORD1", ~U64(0), Shown::hex),
                  o.ports, o.parity))
        return FAILED_CHECK;
    } else if (cmd == "encode") {
      need(5);
      encode(entryFrom(o.args, o.ports), o.ports, o.parity);
    } else if (cmd == "crc") {
      need(1);
      crc(o.args[1], o.bits);
    } else if (cmd == "trailer") {
      need(1);
      trailer(static_cast<U32>(number(o.args[1], "WORD", 0xFFFFFFFFu, Shown::hex)));
    } else if (cmd == "table") {
      need(1);
      return table(o.args[1]);
    } else {
      throw UsageError{fmt::format("unknown command '{}'", cmd)};
    }
    return OK;
  } catch (UsageError const& e) {
    fmt::print(stderr, "vexa-l2: {}\n{}", e.what, kUsage);
    return USAGE;
  } catch (Quiv::Exception const& e) {
    // Words whose fields no entry holds (a decoded mask above 2^49).
    fmt::print(stderr, "vexa-l2: {}\n", e.msg());
    return USAGE;
  }
}
