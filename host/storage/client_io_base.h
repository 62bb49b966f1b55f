#ifndef HOST_CLIENT_IO_BASE_H
#define HOST_CLIENT_IO_BASE_H

#include <map>
#include <string>

#include "host/storage/compression.h"
#include "host/storage/rate_control.h"

// Shared definitions of the storage clients.
class Client_IO_Base {
 public:
  // How a storage client connects and stores. A plain value, copied into
  // the client by connect; not thread-safe. The cipher key and the S3
  // secret are wiped when a copy goes.
  struct Options {
    Options() = default;
    ~Options();
    Options(const Options&) = default;
    Options(Options&&) = default;
    Options& operator=(const Options&) = default;
    Options& operator=(Options&&) = default;

    // Whether open for writing may replace a file that already exists.
    bool overwrite = false;
    // Longest time, in seconds, spent retrying a transient storage failure;
    // -1 leaves the client's own bound. Local directories have no transient
    // failures, so the file store does not retry.
    int max_seconds_retry = -1;
    // Bytes a resumable transfer keeps for a restart; 0 means none.
    unsigned long long resumption_buffer_size = 0;
    // Bandwidth limits; the smallest non-zero max_bytes_per_second applies
    // to the bytes moved to and from storage.
    Rate_Control_Entries rate_control_entries;
    // Compression_Method of written files; reading with COMPR_AUTO accepts
    // every method, found by the file's magic number.
    int compression_method = COMPR_NONE;
    // zstd level (1 to 22; 0 means 1); connect refuses any other for zstd
    // and auto. Ignored by the other methods.
    int compression_level = 0;
    // Deduplication chunking of network stores; files are stored whole.
    int dedup_chunk_size = 0;
    // Encryption of the pool: the empty cipher (or "none") stores in the
    // clear, "aes-256-gcm" with key (64 hexadecimal digits) encrypts (see
    // storage_cipher.h); connect refuses any other, so data is never
    // stored in the clear when encryption was asked for. iv is unused.
    std::string cipher;
    std::string key;
    std::string iv;
    // Object-store pools ("s3://BUCKET/PREFIX"): the service's endpoint URL,
    // its region (empty means us-east-1) and the access key pair; the secret
    // is never logged. s3_timeout_seconds bounds how long one request may
    // go without progress (0 means 60 seconds).
    std::string s3_endpoint;
    std::string s3_region;
    std::string s3_access_key_id;
    std::string s3_secret_access_key;
    int s3_timeout_seconds = 0;
    // Named settings for the transport, such as HTTP headers.
    std::map<std::string, std::string> extra_options;

    // Sets (or replaces) one extra option; false for an empty name.
    bool set_extra_option(const std::string& name, const std::string& value);
  };
};

#endif
