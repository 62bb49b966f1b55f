#ifndef HOST_HOST_MANAGER_H
#define HOST_HOST_MANAGER_H

#include <ace/Thread_Mutex.h>

#include <string>

// What the agent knows about the machine it runs on: its name, whether it
// runs inside the backup server's own daemon, and the keys it presents to
// the backup server. One per process. Every member is thread-safe; the
// getters answer copies.
class Host_Manager {
 public:
  // Number of the HTTP header that carries the access key.
  static const int HTTP_HEAD_ACCESS_KEY = 48;

  // The process's manager; never null.
  static Host_Manager* instance();

  bool on_backupd() const;
  std::string access_key() const;
  std::string node_access_key() const;
  // The host's name (the machine's node name unless set).
  std::string name() const;

  // The name of HTTP header number `n`, or null for a number the host does
  // not use. HTTP_HEAD_ACCESS_KEY is "X-Access-Key". The text is static.
  const char* http_head_string(int n) const;

  void on_backupd(bool v);
  void access_key(const std::string& v);
  void node_access_key(const std::string& v);
  void name(const std::string& v);

  // Reads host.json from the agent state directory: an object with any of
  // "name" (text), "on_backupd" (boolean), "access_key", "node_access_key"
  // (texts). A missing file is success and changes nothing; a malformed one
  // answers -1 (logged) and changes nothing.
  int load();
  // Writes the current settings to host.json (mode 0600: it holds keys).
  int save() const;

 private:
  Host_Manager();
  mutable ACE_Thread_Mutex lock_;
  bool on_backupd_ = false;      // guarded by lock_
  std::string access_key_;       // guarded by lock_
  std::string node_access_key_;  // guarded by lock_
  std::string name_;             // guarded by lock_
};

#endif
