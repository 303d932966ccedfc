// tirvane sources, add-source and forget-source: the phones and IP cameras the service knows by
// name, used as the device "net:NAME".
#include "cli/sources_commands.h"

#include "cli/app_connection.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "cli/text_columns.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"

namespace key = contract::key;

std::string sources_report(const JsonValue& sources) {
  const std::vector<JsonValue>& list = list_of(member(sources, key::kSources));
  if (list.empty()) {
    return "no phone / IP cameras registered\n"
           "  add one: tirvane add-source phone http://<phone-ip>:8080/shot.jpg\n";
  }
  std::string report;
  for (const JsonValue& source : list) {
    report.append("  net:")
        .append(pad_right(text_or(member(source, key::kName), "?"), 16))
        .append(" ")
        .append(text_or(member(source, key::kUrl), "?"))
        .append("\n");
  }
  return report;
}

void print_sources(const JsonValue& sources) {
  if (wants_json()) {
    print_json(sources);
  } else {
    platform::write_stdout(sources_report(sources));
  }
}

std::string added_report(const JsonValue& answer) {
  const JsonValue& added = member(answer, key::kAdded);
  return "added " + json_text(added) + " \xE2\x80\x94 use it with --device net:" +
         text_or(added, "?") + "\n";
}

std::string removed_report(const JsonValue& answer) {
  return "removed " + json_text(member(answer, key::kRemoved)) + "\n";
}

void run_sources(const Positional&) { print_sources(read_json(get_or_fail(contract::kSources))); }

void run_add_source(const Positional& positional) {
  JsonValue body = JsonValue::object();
  body[key::kName] = json_string(positional.at(1));
  body[key::kUrl] = json_string(positional.at(2));
  const JsonValue answer = read_json(post_or_fail(contract::kSources, body));
  if (wants_json()) {
    print_json(answer);
  } else {
    platform::write_stdout(added_report(answer));
  }
}

void run_forget_source(const Positional& positional) {
  JsonValue body = JsonValue::object();
  body[key::kName] = json_string(positional.at(1));
  const JsonValue answer = read_json(post_or_fail(contract::kSourcesRemove, body));
  if (wants_json()) {
    print_json(answer);
  } else {
    platform::write_stdout(removed_report(answer));
  }
}
