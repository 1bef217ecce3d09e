// Writes docs/result-codes.md from the message catalogue in types.h, so that the table of
// result codes and message identifiers cannot drift from the library. With --check FILE it
// compares FILE with what it would write instead and fails on any difference.
//
//   veska-result-codes > docs/result-codes.md       (or: cmake --build build --target
//   result-codes-doc) veska-result-codes --check docs/result-codes.md
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "types.h"

namespace {

struct Entry {
  int id;
  const char *enumerator;
  const char *identifier;
  const char *text;
  int code;
};

const Entry kCatalogue[] = {
#define VESKA_DOC_ENTRY_(id, enumerator, identifier, text, code) \
  {id, #enumerator, identifier, text, code},
    QIVA_MESSAGE_CATALOGUE(VESKA_DOC_ENTRY_)
#undef VESKA_DOC_ENTRY_
};

struct Explanation {
  const char *enumerator;
  const char *when;
};

// When each message arises. The values-list families (TDATA, HSTITCH, VSTITCH, HCONTEXT,
// VCONTEXT) are explained by rule in _list_fault below.
const Explanation kWhen[] = {
    {"QIVA_MSG_DEBUG", "Prefix of free-text diagnostic lines (`QIVA_log_debug`); never a result."},
    {"QIVA_MSG_SUCCESS", "Success."},
    {"QIVA_MSG_Z_PRAXEN_SUBSYS_NOT_CREATED",
     "Reserved for a host subsystem transport; not returned."},
    {"QIVA_MSG_Z_PRAXEN_INVALID_CONF_TOKEN",
     "The `ssn` transport's address check: the address is not exactly 4 characters long."},
    {"QIVA_MSG_Z_PRAXEN_SUBSYS_INACTIVE", "Reserved; not returned."},
    {"QIVA_MSG_Z_DISPATCHER_UNAVAILABLE", "Reserved; not returned."},
    {"QIVA_MSG_Z_NO_STORAGE", "Reserved; not returned."},
    {"QIVA_MSG_Z_NO_ASID", "Reserved; not returned."},
    {"QIVA_MSG_Z_NO_COURIER", "Reserved; not returned."},
    {"QIVA_MSG_Z_OSERROR", "Reserved; not returned."},
    {"QIVA_MSG_INVALID",
     "A null or out-of-range argument (null configuration or event, a version other than 0 "
     "for `QIVA_check_version_`), a malformed server address, a token file whose prefix is "
     "not a number from 0 to 255, an unknown transport name."},
    {"QIVA_MSG_NOTIMPL", "Not implemented; no operation of the library returns it."},
    {"QIVA_MSG_TRANSPORT",
     "Transport failure: the address does not resolve, nothing could be bound or connected, "
     "a send or receive failed, or the endpoint is closed."},
    {"QIVA_MSG_NOMEM",
     "A memory allocation failed, or the host-address text (65535 bytes) overflowed."},
    {"QIVA_MSG_OSERROR",
     "A system call failed: mutex, condition, thread, file, memory map, host name or name "
     "resolution. Logged by the TCP address parser when the resolver fails for a reason other "
     "than an unknown host."},
    {"QIVA_MSG_LOGIC",
     "Wrong state: the configuration is not initialised (`QIVA_track`, `QIVA_flush`, "
     "`QIVA_shutdown`), already initialised (`QIVA_init`), or the callbacks "
     "to deregister are not registered."},
    {"QIVA_MSG_AGAIN",
     "The operation would block (TCP send, receive or accept on a non-blocking socket); a "
     "connection attempt failed in a way worth retrying."},
    {"QIVA_MSG_TIMEDOUT",
     "`QIVA_flush` reached its time-out before the bytes were written; a connection attempt "
     "exceeded `connect_timeout`; the dispatcher used up `connect_retries` (it then stops)."},
    {"QIVA_MSG_TRANSPORT_CONNECT_FAILED",
     "Logged when a connection attempt to the collector fails (error level when the retries "
     "are used up or the failure is lasting, detail level for a passing one)."},
    {"QIVA_MSG_TRANSPORT_LISTEN_FAILED",
     "Logged when the TCP module cannot bind or listen on an address."},
    {"QIVA_MSG_TRANSPORT_INVALID_ADDRESS",
     "Logged when a TCP address is malformed; the second argument says why."},
    {"QIVA_MSG_EVENT_INTERNAL",
     "`QIVA_track`: the serialised event would exceed 65535 bytes (payload above 65531), "
     "or a list has more than 255 items."},
    {"QIVA_MSG_EVENT_INVALID_EVENT_BLOCK_ADDRESS",
     "Defined, not returned (a null event gives 21)."},
    {"QIVA_MSG_EVENT_INVALID_EVENT_TYPE",
     "Event `type` above 9 (without the pre-built block bit)."},
    {"QIVA_MSG_EVENT_INVALID_TIMESTAMP", "`timestamp.usec` is 1000000 or more."},
    {"QIVA_MSG_EVENT_INVALID_TID_LENGTH", "`instance_id.transaction_id` given with `size` 0."},
    {"QIVA_MSG_EVENT_INVALID_TID_FLAG", "`instance_id.flags` above 1."},
    {"QIVA_MSG_EVENT_INVALID_TID_ADDRESS",
     "`instance_id.size` not 0 while `transaction_id` is null."},
    {"QIVA_MSG_EVENT_INVALID_HLINK_LENGTH", "`horizontal_id.link_id` given with `link_id_size` 0."},
    {"QIVA_MSG_EVENT_INVALID_HLINK_FLAG", "`horizontal_id.flags` above 1."},
    {"QIVA_MSG_EVENT_INVALID_HLINK_CALLER", "`horizontal_id.caller_type` above 255."},
    {"QIVA_MSG_EVENT_INVALID_HLINK_ADDRESS",
     "`horizontal_id.link_id_size` not 0 while `link_id` is null."},
    {"QIVA_MSG_EVENT_INVALID_VLINK_LENGTH", "`vertical_id.link_id` given with `link_id_size` 0."},
    {"QIVA_MSG_EVENT_INVALID_VLINK_FLAG", "`vertical_id.flags` above 1."},
    {"QIVA_MSG_EVENT_INVALID_VLINK_CALLER", "`vertical_id.caller_type` above 255."},
    {"QIVA_MSG_EVENT_INVALID_VLINK_ADDRESS",
     "`vertical_id.link_id_size` not 0 while `link_id` is null."},
    {"QIVA_MSG_VESKA_ALREADY_INITIALISED",
     "Logged by `QIVA_init` for a configuration that is already initialised (result 26)."},
    {"QIVA_MSG_VESKA_NOT_INITIALISED",
     "Logged when a configuration that was never initialised, or already shut down, is used "
     "(result 26)."},
    {"QIVA_MSG_VESKA_INITIATING_CONNECTION",
     "Logged by the dispatcher before it connects to the collector."},
    {"QIVA_MSG_VESKA_CONNECTED", "Logged by the dispatcher once connected."},
    {"QIVA_MSG_VESKA_LOST_CONNECTION",
     "Logged by the dispatcher when a send fails; the unsent event is sent whole on the next "
     "connection."},
    {"QIVA_MSG_VESKA_ADDRESS_MISSING_COLON",
     "Logged by `QIVA_init` (and the Java `_init`) when `server` has no ':' (result 21)."},
    {"QIVA_MSG_VESKA_RETRIES_EXCEEDED",
     "Logged by the dispatcher when `connect_retries` attempts have failed; it stops."},
    {"QIVA_MSG_VESKA_QUEUE_EXCEEDED",
     "Logged once per run of drops when the event queue is full and its oldest message is "
     "dropped (counted in the statistics message)."},
};

const struct {
  const char *tag;
  const char *list;
} kLists[] = {{"_TDATA_", "`instance_id.transaction_data`"},
              {"_HSTITCH_", "`horizontal_id.stitch_ids`"},
              {"_VSTITCH_", "`vertical_id.stitch_ids`"},
              {"_HCONTEXT_", "`horizontal_context`"},
              {"_VCONTEXT_", "`vertical_context`"}};

// The values-list faults, by the enumerator's family and kind.
std::string _list_fault(const std::string &enumerator) {
  for (const auto &family : kLists) {
    if (enumerator.find(family.tag) == std::string::npos) continue;
    std::string list = family.list;
    if (enumerator.size() > 5 && enumerator.compare(enumerator.size() - 5, 5, "_NAME") == 0)
      return "An item of " + list + " has a null `name`.";
    if (enumerator.size() > 6 && enumerator.compare(enumerator.size() - 6, 6, "_VALUE") == 0)
      return "An item of " + list + " has a null `value` with a non-zero `size`.";
    if (enumerator.size() > 7 && enumerator.compare(enumerator.size() - 7, 7, "_LENGTH") == 0)
      return "An item of " + list + " has a `value` with `size` 0.";
    if (enumerator.size() > 5 && enumerator.compare(enumerator.size() - 5, 5, "_FLAG") == 0)
      return "An item of " + list + " has `flags` above 3.";
    if (enumerator.size() > 5 && enumerator.compare(enumerator.size() - 5, 5, "_PAIR") == 0)
      return "Defined for " + list + ", not returned.";
  }
  return "";
}

std::string _when(const char *enumerator) {
  for (const Explanation &e : kWhen)
    if (strcmp(e.enumerator, enumerator) == 0) return e.when;
  return _list_fault(enumerator);
}

// The result-code macro of a message: QIVA_MSG_X -> QIVA_ERR_X, QIVA_MSG_SUCCESS -> QIVA_SUCCESS.
std::string _code_name(const std::string &enumerator) {
  if (enumerator == "QIVA_MSG_SUCCESS") return "QIVA_SUCCESS";
  return "QIVA_ERR_" + enumerator.substr(strlen("QIVA_MSG_"));
}

std::string _escape(const char *text) {
  std::string out;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '|') out += '\\';
    out += *p;
  }
  return out;
}

bool _generate(std::string *out) {
  std::ostringstream md;
  md << "# Result codes and messages\n\n"
        "<!-- Generated from the message catalogue in types.h by tools/docs/result_codes_md.cpp:\n"
        "     cmake --build build --target result-codes-doc. Do not edit by hand; the test\n"
        "     Docs.ResultCodesMatchTheCatalogue fails when this file and the catalogue differ. "
        "-->\n\n"
        "Every function of the library returns an `int`: 0 for success, otherwise one of the "
        "codes below. `QIVA_strerror(code)` returns the code's text (\"<unknown>\" for any other "
        "number). Each message has an identifier \"QIVAD\" + two digits + a severity letter "
        "(I information, W warning, E error); log lines of catalogued messages start with the "
        "identifier and a blank (`QIVA_getmsg_prefix`).\n\n"
        "An event is checked field by field in a fixed order and the first fault decides the "
        "code: timestamp (103), type (102), transaction id (104, 106), horizontal link (110, "
        "113), vertical link (120, 123), horizontal then vertical caller type (112, 122), "
        "vertical, horizontal and instance flags (121, 111, 105), then the lists: horizontal "
        "context (160-163), vertical context (170-173), transaction data (130-133), vertical "
        "stitches (150-153), horizontal stitches (140-143). Within a list the first faulty item "
        "decides, its name checked first, then value, length and flags. List codes are base + "
        "kind: bases 129, 139, 149, 159, 169; kinds 1 name, 2 value, 3 length, 4 flag, "
        "5 pair.\n\n"
        "## Result codes\n\n"
        "| Code | Name | Message | Text | When |\n"
        "|---|---|---|---|---|\n";
  bool complete = true;
  for (const Entry &e : kCatalogue) {
    if (e.code < 0) continue;
    std::string when = _when(e.enumerator);
    complete &= !when.empty();
    md << "| " << e.code << " | `" << _code_name(e.enumerator) << "` | " << e.identifier << " | "
       << _escape(e.text) << " | " << when << " |\n";
  }
  md << "\n## Log messages without a result code\n\n"
        "`%s` and `%hu` are filled in by the logging call.\n\n"
        "| Id | Enumerator | Identifier | Text | When |\n"
        "|---|---|---|---|---|\n";
  for (const Entry &e : kCatalogue) {
    if (e.code >= 0) continue;
    std::string when = _when(e.enumerator);
    complete &= !when.empty();
    md << "| " << e.id << " | `" << e.enumerator << "` | " << e.identifier << " | "
       << _escape(e.text) << " | " << when << " |\n";
  }
  *out = md.str();
  if (!complete) fprintf(stderr, "veska-result-codes: a catalogue entry has no explanation\n");
  return complete;
}

}  // namespace

int main(int argc, char **argv) {
  std::string text;
  if (!_generate(&text)) return 1;
  if (argc == 3 && strcmp(argv[1], "--check") == 0) {
    std::ifstream file(argv[2]);
    std::stringstream committed;
    committed << file.rdbuf();
    if (committed.str() == text) return 0;
    fprintf(stderr,
            "%s differs from the catalogue; regenerate it with "
            "cmake --build build --target result-codes-doc\n",
            argv[2]);
    return 1;
  }
  if (argc != 1) {
    fprintf(stderr, "usage: veska-result-codes [--check FILE]\n");
    return 2;
  }
  fputs(text.c_str(), stdout);
  return 0;
}
