// orvelleclient: sends text or XML files to a speech server and writes the
// audio of each file to a raw sample file, optionally after choosing a voice
// and writing the server's voice information.
//
// Information and warnings go to standard output, usage and errors to
// standard error. Exit status 0 after a complete run or -h, 1 otherwise.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/orvelle.h"

namespace {

// An input file is read up to this many bytes; the rest is ignored.
constexpr std::size_t max_input_size = 128000;

// Process-wide state shared with the callback, which runs on the library's
// worker thread during an asynchronous render.
int verbose = 0;
std::atomic<FILE*> fp{nullptr};
const char* const callbackid = "1";
// Set when audio of the current render could not be written in full.
std::atomic<bool> write_failed{false};
// Set when the thread-finished event reports a failed render: its length
// carries the worker's render code, negative on failure.
std::atomic<bool> async_failed{false};

// Length of the text in an event's data: up to its NUL, never past its end.
int text_length(const void* data, long length) {
  if (data == nullptr || length <= 0) return 0;
  const void* nul = std::memchr(data, '\0', static_cast<std::size_t>(length));
  std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - static_cast<const char*>(data))
                      : static_cast<std::size_t>(length);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

void print_text_event(const char* kind, const void* data, long length) {
  if (!verbose) return;
  std::printf("INFO: callback %s message: %s %.*s\n", callbackid, kind, text_length(data, length),
              data ? static_cast<const char*>(data) : "");
}

const char* or_empty(const char* s) { return s ? s : ""; }

// Closes an output file; false when buffered bytes could not be written.
bool close_output(FILE* file) { return std::fclose(file) == 0; }

int callback(void* user_data, int type, void* data, long length) {
  (void)user_data;
  switch (type) {
    case PACKET_PHONEME:
      if (verbose && data != nullptr) {
        const auto* p = static_cast<const phoneme_data*>(data);
        std::printf(
            "INFO: callback %s message:PHONEME %s length %u next phoneme %s sample rate %d "
            "sapi viseme %d next sapi viseme %d disney viseme %d stress %d "
            "sapi phone ID %d next sapi phone ID %d\n",
            callbackid, or_empty(p->phoneme), p->phone_length_in_bytes, or_empty(p->next_phoneme),
            static_cast<int>(p->sample_rate), static_cast<int>(p->sapi_viseme),
            static_cast<int>(p->next_sapi_viseme), static_cast<int>(p->disney_viseme), static_cast<int>(p->stress),
            static_cast<int>(p->sapi_phoneid), static_cast<int>(p->next_sapi_phoneid));
      }
      break;
    case PACKET_SPURT:
      print_text_event("SPURT", data, length);
      break;
    case PACKET_WORD:
      print_text_event("WORD", data, length);
      break;
    case PACKET_BOOKMARK:
      print_text_event("BOOKMARK", data, length);
      break;
    case PACKET_XML:
      print_text_event("XMLREPLY", data, length);
      break;
    case PACKET_AUDIO: {
      FILE* out = fp.load();
      if (out == nullptr) break;
      if (verbose) std::printf("INFO: callback %s message: writing %ld bytes\n", callbackid, length);
      if (length > 0 && data != nullptr &&
          std::fwrite(data, 1, static_cast<std::size_t>(length), out) != static_cast<std::size_t>(length)) {
        write_failed = true;
      }
      break;
    }
    case PACKET_THREAD_FINISHED: {
      if (verbose) std::printf("INFO: callback message: Thread Finished\n");
      if (length < 0) async_failed = true;
      FILE* out = fp.load();
      if (out != nullptr) {
        if (!close_output(out)) write_failed = true;
        // The main thread waits for this store; everything above is visible
        // to it once it sees the null.
        fp.store(nullptr);
      }
      break;
    }
    default:
      if (verbose) std::printf("WARNING: callback message: Unknown Event %d\n", type);
      break;
  }
  return OV_SUCCESS;
}

void usage(const char* program) {
  std::fprintf(stderr,
               "Usage: %s [options] infiles\n"
               "Transmit xml or text files to server for rendering\n"
               "Options:\n"
               "  -H  Host name (default: localhost)\n"
               "  -p  Port number (default: 8989)\n"
               "  -o  Output directory\n"
               "  -V  (Case-sensitive) Voice name (e.g. Velisa)\n"
               "  -t  Flag: input files contain text\n"
               "  -a  Flag: use asynchronous call\n"
               "  -s  Flag: use streaming call\n"
               "  -i  Flag: print voice header information\n"
               "  -v  Flag: print callback info messages\n"
               "  -h  print this message and exit\n",
               program);
}

// Decimal as atoi reads it (leading blanks, optional sign, leading digits, 0
// if none), independent of the locale and clamped instead of overflowing.
int parse_port(const char* text) {
  const char* s = text;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  long long value = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    value = value * 10 + (*s - '0');
    if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// The output name of an input path: its last '/'-separated part, leading dots
// dropped, cut before the next '.'; empty when there is no such name.
std::string base_name(std::string_view path) {
  std::string_view last;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    std::size_t start = i;
    while (i < path.size() && path[i] != '/') ++i;
    if (i > start) last = path.substr(start, i - start);
  }
  std::size_t start = last.find_first_not_of('.');
  if (start == std::string_view::npos) return {};
  std::size_t end = last.find('.', start);
  return std::string(last.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

// Reads an input file as bytes, NUL-terminated; false when it cannot be
// opened or read.
bool read_input(const char* path, std::vector<char>& text, bool& truncated) {
  truncated = false;
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return false;
  text.resize(max_input_size + 1);
  const std::size_t stored = std::fread(text.data(), 1, max_input_size, in);
  if (stored == max_input_size && std::getc(in) != EOF) truncated = true;
  bool ok = !std::ferror(in);
  std::fclose(in);
  text[stored] = '\0';
  return ok;
}

bool destroy_connection(CONNECTION_HANDLE handle) {
  if (ovDestroyConnection(handle) == 0) return true;
  std::printf("WARNING: failed to destroy connection\n");
  return false;
}

// Writes the voice information file; false when it could not be written in
// full.
bool write_voice_info(CONNECTION_HANDLE handle, const char* output_dir) {
  ENUMERATOR_HANDLE voices = ovEnumerateConnectionVoices(handle);
  if (voices == -1 || voices == -2) {
    std::printf("WARNING: failed to retrieve voice header information\n");
    return true;
  }
  std::string path = std::string(output_dir) + "/voiceinfo";
  FILE* info = std::fopen(path.c_str(), "w");
  if (info == nullptr) {
    std::printf("WARNING: failed to open output file %s for writing\n", path.c_str());
    if (ovCloseEnumerator(voices) != 0) std::printf("failed to close voice enumerator\n");
    return false;
  }
  static const char* const string_labels[] = {
      "Voice ID", "Gender",    "Language", "Language ID", "Country",           "Country ID",
      "Region",   "Accent",    "Accent ID", "UUID",       "Encoding",          "Language Code ISO",
      "Language Code Microsoft", "Country Code ISO"};
  while (const char* name = ovNextVoice(voices)) {
    std::fprintf(info, "Voice Found: %s\n", name);
    std::fprintf(info, "\tSample Rate = %d\n", ovGetVoiceIntegerValue(voices, OV_SAMPLE_RATE));
    std::fprintf(info, "\tSample Bits = %d\n", ovGetVoiceIntegerValue(voices, OV_SAMPLE_BITS));
    int key = OV_VOICE_ID;
    for (const char* label : string_labels) {
      std::fprintf(info, "\t%s = %s\n", label, or_empty(ovGetVoiceStringValue(voices, key++)));
    }
    std::fprintf(info, "\n");
  }
  bool written = !std::ferror(info);
  if (!close_output(info)) written = false;
  if (written) {
    std::printf("INFO: wrote voice header information file %s\n", path.c_str());
  } else {
    std::printf("WARNING: failed to open output file %s for writing\n", path.c_str());
  }
  if (ovCloseEnumerator(voices) != 0) std::printf("WARNNG: failed to close voice enumerator\n");
  return written;
}

void select_voice(CONNECTION_HANDLE handle, const char* voice, const char* host, int port) {
  ENUMERATOR_HANDLE voices = ovEnumerateConnectionVoices(handle);
  if (voices == -1 || voices == -2) {
    std::printf("WARNING: failed to set voice. Using default instead\n");
    return;
  }
  bool found = false;
  while (const char* name = ovNextVoice(voices)) {
    if (std::strcmp(name, voice) == 0) {
      found = true;
      break;
    }
  }
  if (!found) {
    std::printf("WARNING: voice was not found. Using default instead\n");
    if (ovCloseEnumerator(voices) != 0) std::printf("WARNING: failed to close voice enumerator\n");
    return;
  }
  if (ovCloseEnumerator(voices) != 0) std::printf("WARNNG: failed to close voice enumerator\n");
  std::string query = std::string("<voice name=\"") + voice + "\" select=\"1\"/>";
  if (ovQueryServer(handle, query.c_str()) != 0) {
    std::printf("WARNING: failed to set voice to %s. Using default instead\n", voice);
    // A server that refused with CLOSE may have left the socket out of step
    // (the library then drops it): a new connection has the default voice.
    ovOpenConnection(handle, host, port);
  } else {
    std::printf("INFO: voice set successfully\n");
  }
}

enum class RenderOutcome { ok, failed, flush_failed };

RenderOutcome render(CONNECTION_HANDLE handle, const char* text, int plain, int async, int stream) {
  if (async) {
    async_failed = false;
    int code = plain ? ovRenderSpeechAsync(handle, text) : ovRenderSpeechXMLAsync(handle, text);
    if (code != 0) return RenderOutcome::failed;
    std::printf("INFO: waiting for asynchronous calls\n");
    while (fp.load() != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return async_failed ? RenderOutcome::failed : RenderOutcome::ok;
  }
  if (stream) {
    int pushed = plain ? ovPushSpeechStream(handle, text) : ovPushSpeechStreamXML(handle, text);
    int flushed = plain ? ovFlushSpeechStream(handle) : ovFlushSpeechStreamXML(handle);
    if (flushed != 0) return RenderOutcome::flush_failed;
    return pushed != 0 ? RenderOutcome::failed : RenderOutcome::ok;
  }
  int code = plain ? ovRenderSpeech(handle, text) : ovRenderSpeechXML(handle, text);
  return code != 0 ? RenderOutcome::failed : RenderOutcome::ok;
}

// Ends a run that failed after the connection was set up: destroys it (which
// also waits for a worker) and closes the output file.
int fail_run(CONNECTION_HANDLE handle) {
  destroy_connection(handle);
  if (FILE* out = fp.exchange(nullptr)) std::fclose(out);
  return 1;
}

// The whole run; returns the exit status.
int run_client(const char* host, int port, const char* output_dir, const char* voice, int text, int async,
               int stream, int info, char** files, int count) {
  CONNECTION_HANDLE handle = ovCreateConnection();
  if (handle == -1) {
    std::fprintf(stderr, "ERROR: failed to create connection to server\n");
    return 1;
  }
  if (ovOpenConnection(handle, host, port) != 0) {
    std::fprintf(stderr, "ERROR: failed to open connection to server\n");
    destroy_connection(handle);
    return 1;
  }
  std::printf("INFO: connection to server established\n");
  if (ovSetCallBack(handle, callback) != 0) {
    std::fprintf(stderr, "ERROR: failed to set callback\n");
    destroy_connection(handle);
    return 1;
  }
  std::printf("INFO: speech callback set\n");

  // A voice information file that could not be written does not stop the
  // renders, but the run does not count as complete.
  bool complete = true;
  if (info && !write_voice_info(handle, output_dir)) complete = false;
  if (voice != nullptr) select_voice(handle, voice, host, port);

  std::vector<char> input;
  for (int i = 0; i < count; ++i) {
    const char* input_path = files[i];
    std::string name = base_name(input_path);
    std::string output_path = std::string(output_dir) + "/" + name + ".raw";
    FILE* out = name.empty() ? nullptr : std::fopen(output_path.c_str(), "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "ERROR: failed to open output file %s for writing\n", output_path.c_str());
      return fail_run(handle);
    }
    write_failed = false;
    fp.store(out);

    bool truncated = false;
    if (!read_input(input_path, input, truncated)) {
      std::fprintf(stderr, "ERROR: failed to open input file %s\n", input_path);
      return fail_run(handle);
    }
    if (truncated) {
      std::printf("WARNING: input file %sexceeds maximum permitted file size, and will be trunkated accordingly\n",
                  input_path);
    }
    std::printf("INFO: rendering %s\n", input_path);

    RenderOutcome outcome = render(handle, input.data(), text, async, stream);
    if (outcome == RenderOutcome::flush_failed) {
      std::fprintf(stderr, "ERROR: stream flush failed\n");
      return fail_run(handle);
    }
    if (outcome == RenderOutcome::failed) {
      std::fprintf(stderr, "ERROR: rendering failed\n");
      return fail_run(handle);
    }
    if (FILE* open = fp.exchange(nullptr)) {
      if (!close_output(open)) write_failed = true;
    }
    if (write_failed) {
      std::fprintf(stderr, "ERROR: failed to open output file %s for writing\n", output_path.c_str());
      return fail_run(handle);
    }
    std::printf("INFO: rendering completed and written to %s\n", output_path.c_str());
  }

  if (!destroy_connection(handle)) return 1;
  return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 && argv[0] ? argv[0] : "orvelleclient";
  const char* host = "localhost";
  const char* port_text = "8989";
  const char* output_dir = ".";
  const char* voice = nullptr;
  int text = 0, async = 0, stream = 0, info = 0;

  // The program reports bad options itself, in its own words.
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, "htasivH:p:o:V:")) != -1) {
    switch (option) {
      case 'h':
        usage(program);
        return 0;
      case 't':
        text = 1;
        break;
      case 'a':
        async = 1;
        break;
      case 's':
        stream = 1;
        break;
      case 'i':
        info = 1;
        break;
      case 'v':
        verbose = 1;
        break;
      case 'H':
        host = optarg;
        break;
      case 'p':
        port_text = optarg;
        break;
      case 'o':
        output_dir = optarg;
        break;
      case 'V':
        voice = optarg;
        break;
      default:
        usage(program);
        std::fprintf(stderr, "ERROR: unknown option\n");
        return 1;
    }
  }
  if (optind >= argc) {
    usage(program);
    std::fprintf(stderr, "ERROR: please specify input data files\n");
    return 1;
  }
  int port = parse_port(port_text);
  if (port <= 0) {
    usage(program);
    std::fprintf(stderr, "ERROR: port number must be a positive integer\n");
    return 1;
  }
  if (async) stream = 0;

  int status = run_client(host, port, output_dir, voice, text, async, stream, info, argv + optind, argc - optind);
  std::fflush(stdout);
  return status;
}
