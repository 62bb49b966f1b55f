#ifndef OSCAR_JOB_ALERT_CODES_H
#define OSCAR_JOB_ALERT_CODES_H

// The job alerts of this module: one severity for all of them and one code
// per kind of failure. The texts shown for them belong to whoever displays
// the alerts. This header depends on nothing, so a program can name the
// codes without linking the module.

namespace oscar {

// Severity of every job alert this module raises.
const int ALERT_SEVERITY = 7;

enum Job_Alert_Code {
  ALERT_NO_SOURCE = 1,         // the backup job source names no database
  ALERT_NO_LATEST_BACKUP = 2,  // a periodic restore found no newest backup
  ALERT_NO_ACCOUNT = 3,        // the instance's database account is unknown
  ALERT_EMPTY_ACCOUNT = 4,     // the account's user or password is empty
  ALERT_METADATA = 5,          // the backup set's metadata was not made
  ALERT_NO_HOME = 6,           // the instance's database home is unknown
  ALERT_NO_PORT = 7,           // the instance's port is unknown
  ALERT_CATALOG_COMMIT = 9,    // the catalogue is unusable or refused the record
  ALERT_NO_SESSION = 10,       // no session to the backup server could be made
  ALERT_NO_POOL = 11,          // the storage pool is unknown
  ALERT_STORAGE_OPTIONS = 12,  // the pool's storage options were rejected
  ALERT_STORAGE_CONNECT = 13,  // connecting to storage failed
  ALERT_STORAGE_OPEN = 14,     // opening (or reopening) the storage file failed
  ALERT_FIFO = 15,             // creating or opening the fifo failed
  ALERT_STREAM_READ = 16,      // a stream or storage read failed, came short or was invalid
  ALERT_WRITE = 17,            // a write to storage or to the fifo failed
  ALERT_BACKUP_INFO = 18,      // chain state unreadable after a backup, or a restore of size 0
  ALERT_INSTANCE_STOP = 19,    // the instance's server could not be stopped
  ALERT_NO_INSTANCE = 20,      // the restore's instance is not registered
  ALERT_CATALOG_DATA = 21,     // a catalogue record could not be read or built
  ALERT_TABLESPACES = 22,      // the instance's user tablespaces could not be read
  // A tablespace an import needs could not be created, or the export's
  // catalogue record is malformed: it lacks its tablespaces, names one the
  // name rule refuses, or places its dump file outside the dump spool.
  ALERT_EXPORT_RECORD = 23,
  ALERT_LOG_MODE = 24,      // the instance's log archive mode was not obtained
  ALERT_INVALID_NAME = 25,  // a name the job gives a database tool breaks the object name rule
  // The account's user or password holds a character a tool command line
  // cannot carry as one word (the account rule).
  ALERT_UNUSABLE_ACCOUNT = 26,
  ALERT_UNTRUSTED_HOME = 27,  // a program of the database home can be changed by others than root and its owner
  ALERT_BRCMD_FAILED = 28,    // brcmd failed, or did not exit, after its whole stream
};

// Every code above, in rising order.
const Job_Alert_Code ALL_JOB_ALERT_CODES[] = {
    ALERT_NO_SOURCE,       ALERT_NO_LATEST_BACKUP, ALERT_NO_ACCOUNT,     ALERT_EMPTY_ACCOUNT, ALERT_METADATA,
    ALERT_NO_HOME,         ALERT_NO_PORT,          ALERT_CATALOG_COMMIT, ALERT_NO_SESSION,    ALERT_NO_POOL,
    ALERT_STORAGE_OPTIONS, ALERT_STORAGE_CONNECT,  ALERT_STORAGE_OPEN,   ALERT_FIFO,          ALERT_STREAM_READ,
    ALERT_WRITE,           ALERT_BACKUP_INFO,      ALERT_INSTANCE_STOP,  ALERT_NO_INSTANCE,   ALERT_CATALOG_DATA,
    ALERT_TABLESPACES,     ALERT_EXPORT_RECORD,    ALERT_LOG_MODE,       ALERT_INVALID_NAME,  ALERT_UNUSABLE_ACCOUNT,
    ALERT_UNTRUSTED_HOME,  ALERT_BRCMD_FAILED,
};

}  // namespace oscar

#endif
