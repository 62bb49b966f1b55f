#include "agent/coordinator_rounds.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace {

bool is_open(const Decision_Record& record, int64_t now, int round_seconds) {
  return !record.definition_uuid.empty() && now < record.selection.selection_time + round_seconds;
}

// Whether `request` may be chosen in a round that asks for a master or not.
bool eligible(const Selection_Request& request, bool select_master) {
  return request.online && (!select_master || request.is_master);
}

}  // namespace

int64_t coordinator_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Selection Coordinator_Rounds::offer(const Selection_Request& request, int64_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  Decision_Record& record = rounds_[Key(request.cluster, request.definition_uuid)];
  bool decided = false;
  if (!is_open(record, now, round_seconds_)) {
    decided = close_if_over(record, now);
    if (!record.definition_uuid.empty()) replaced_[Key(request.cluster, request.definition_uuid)] = record.selection;
    record = Decision_Record();
    record.cluster = request.cluster;
    record.definition_uuid = request.definition_uuid;
    record.select_master = request.select_master;
    record.selection.selection_time = now;
  }
  auto same_node = [&](const Selection_Request& r) { return r.node_id == request.node_id; };
  auto known = std::find_if(record.askers.begin(), record.askers.end(), same_node);
  if (known == record.askers.end()) {
    record.askers.push_back(request);
  } else {
    *known = request;
  }
  if (record.selection.state.empty() && eligible(request, record.select_master)) {
    record.selection.state = "success";
    record.selection.node_id = request.node_id;
    decided = true;
  }
  if (decided) {
    saved();
    decided_.notify_all();
  }
  return record.selection;
}

Selection Coordinator_Rounds::settle(const std::string& cluster, const std::string& definition_uuid,
                                     int64_t selection_time, int64_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  return settle_locked(Key(cluster, definition_uuid), selection_time, now);
}

Selection Coordinator_Rounds::settle_locked(const Key& key, int64_t selection_time, int64_t now) {
  auto it = rounds_.find(key);
  if (it == rounds_.end() || it->second.selection.selection_time != selection_time) {
    // A later round opened after this one ended, and this one's answer was
    // kept then.
    auto before = replaced_.find(key);
    if (before != replaced_.end() && before->second.selection_time == selection_time) return before->second;
    Selection gone;
    gone.selection_time = selection_time;
    gone.state = "failed";
    gone.reason = "the round is over and its answer no longer kept";
    return gone;
  }
  if (close_if_over(it->second, now)) {
    saved();
    decided_.notify_all();
  }
  return it->second.selection;
}

bool Coordinator_Rounds::close_if_over(Decision_Record& record, int64_t now) {
  if (record.definition_uuid.empty() || !record.selection.state.empty() || is_open(record, now, round_seconds_))
    return false;
  record.selection.state = "failed";
  record.selection.node_id = -1;
  record.selection.reason = std::string("no online ") + (record.select_master ? "master" : "node") + " asked within " +
                            std::to_string(round_seconds_) + " s";
  return true;
}

bool Coordinator_Rounds::ask(const Selection_Request& request, Selection& answer) {
  const int64_t opened = offer(request, coordinator_now()).selection_time;
  const auto end = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(opened + round_seconds_));
  std::unique_lock<std::mutex> guard(lock_);
  // Rechecked after every wake: the wait may end a little before the clock
  // that times the round reaches its end.
  while (!stopping_) {
    const Selection now = settle_locked(Key(request.cluster, request.definition_uuid), opened, coordinator_now());
    if (!now.state.empty()) {
      answer = now;
      return true;
    }
    decided_.wait_until(guard, std::max(end, std::chrono::system_clock::now() + std::chrono::milliseconds(10)));
  }
  return false;
}

void Coordinator_Rounds::stop() {
  std::lock_guard<std::mutex> guard(lock_);
  stopping_ = true;
  decided_.notify_all();
}

std::vector<Decision_Record> Coordinator_Rounds::decisions(const std::string& cluster, int64_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Decision_Record> list;
  bool decided = false;
  for (auto& entry : rounds_) {
    if (entry.first.first != cluster) continue;
    decided = close_if_over(entry.second, now) || decided;
    list.push_back(entry.second);
  }
  if (decided) saved();
  return list;
}

void Coordinator_Rounds::restore(const std::vector<Decision_Record>& records) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const Decision_Record& record : records) rounds_[Key(record.cluster, record.definition_uuid)] = record;
}

void Coordinator_Rounds::saved() {
  if (!saver_) return;
  std::vector<Decision_Record> all;
  for (const auto& entry : rounds_)
    if (!entry.second.selection.state.empty()) all.push_back(entry.second);
  saver_(all);
}
