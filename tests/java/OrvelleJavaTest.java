import com.quorlane.orvelle.OrvelleCallback;
import com.quorlane.orvelle.OrvelleCaller;
import com.quorlane.orvelle.PACKET_TYPE;
import com.quorlane.orvelle.SWIGTYPE_p_void;
import com.quorlane.orvelle.orvelleJNI;
import com.quorlane.orvelle.phoneme_data;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HexFormat;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The Java binding against the loopback speech server, in a real virtual
 * machine. Usage: OrvelleJavaTest <python> <speech_server.py>
 */
public class OrvelleJavaTest {
  private static String python;
  private static String serverScript;
  private static String currentCase;
  private static int failures;

  // ---- checks ----

  private static void check(boolean condition, String what) {
    if (!condition) {
      failures++;
      System.err.println("FAIL [" + currentCase + "] " + what);
    }
  }

  private static void checkEq(Object expected, Object actual, String what) {
    boolean same = expected == null ? actual == null : expected.equals(actual);
    check(same, what + ": expected <" + expected + "> but was <" + actual + ">");
  }

  private static boolean contains(byte[] haystack, byte[] needle) {
    outer:
    for (int i = 0; i + needle.length <= haystack.length; i++) {
      for (int j = 0; j < needle.length; j++) {
        if (haystack[i + j] != needle[j]) {
          continue outer;
        }
      }
      return true;
    }
    return false;
  }

  // ---- the loopback server ----

  record Frame(int type, byte[] data) {
    String text() {
      return new String(data, StandardCharsets.UTF_8);
    }
  }

  static final class Server implements AutoCloseable {
    // The server is killed when the thread that started it (this program's
    // main thread) or the machine dies (PR_SET_PDEATHSIG): one left running
    // would hold the test's output open, and the test would never end.
    private static final String BOUND_TO_PARENT = "import ctypes, runpy, sys; "
        + "ctypes.CDLL(None).prctl(1, 9); sys.argv = sys.argv[1:]; "
        + "runpy.run_path(sys.argv[0], run_name='__main__')";

    final Process process;
    final Path log;
    final int port;

    Server(String scriptJson) throws Exception {
      log = Files.createTempFile("orvelle-java-test", ".log");
      ProcessBuilder builder = new ProcessBuilder(python, "-c", BOUND_TO_PARENT, serverScript,
          "--port", "0", "--script-json", scriptJson, "--log", log.toString());
      builder.redirectError(ProcessBuilder.Redirect.INHERIT);
      process = builder.start();
      BufferedReader out = new BufferedReader(
          new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
      String line = out.readLine();
      if (line == null || !line.startsWith("LISTENING ")) {
        process.destroyForcibly();
        throw new IllegalStateException("speech server did not start: " + line);
      }
      port = Integer.parseInt(line.substring("LISTENING ".length()).trim());
    }

    /** The frames the server received, in order. */
    List<Frame> frames() throws Exception {
      List<Frame> frames = new ArrayList<>();
      for (String line : Files.readAllLines(log, StandardCharsets.US_ASCII)) {
        if (!line.startsWith("frame ")) {
          continue;
        }
        int type = 0;
        byte[] data = new byte[0];
        for (String field : line.split(" ")) {
          if (field.startsWith("type=")) {
            type = Integer.parseInt(field.substring(5));
          } else if (field.startsWith("data=")) {
            data = HexFormat.of().parseHex(field.substring(5));
          }
        }
        frames.add(new Frame(type, data));
      }
      return frames;
    }

    boolean received(byte[] bytes) throws Exception {
      for (Frame f : frames()) {
        if (contains(f.data(), bytes)) {
          return true;
        }
      }
      return false;
    }

    @Override
    public void close() throws Exception {
      process.destroy();
      process.waitFor(10, TimeUnit.SECONDS);
      Files.deleteIfExists(log);
    }
  }

  /** A server with the script and a connection to it with the callback installed. */
  static final class Session implements AutoCloseable {
    final Server server;
    final int handle;
    final OrvelleCaller caller = new OrvelleCaller();

    Session(String scriptJson, OrvelleCallback callback) throws Exception {
      server = new Server(scriptJson);
      handle = orvelleJNI.ovCreateConnection();
      int opened = orvelleJNI.ovOpenConnection(handle, "127.0.0.1", server.port);
      if (opened != 0) {
        throw new IllegalStateException("ovOpenConnection gave " + opened);
      }
      if (callback != null) {
        caller.setOrvelleCallback(callback, handle);
      }
    }

    @Override
    public void close() throws Exception {
      orvelleJNI.ovCloseConnection(handle);
      caller.delete();
      server.close();
    }
  }

  // ---- callbacks ----

  /** Records every event as text, the way a user reads it. */
  static class Recorder extends OrvelleCallback {
    final List<String> events = Collections.synchronizedList(new ArrayList<>());
    final List<Thread> threads = Collections.synchronizedList(new ArrayList<>());
    final AtomicInteger finished = new AtomicInteger();
    final CountDownLatch finishedLatch = new CountDownLatch(1);
    volatile Thread finishedThread;
    volatile SWIGTYPE_p_void lastAudio;
    volatile phoneme_data keptPhoneme;
    volatile boolean disconnected;

    @Override
    public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
      threads.add(Thread.currentThread());
      switch (type) {
        case PACKET_PHONEME: {
          phoneme_data p = OrvelleDataToPhoneme(data);
          events.add(describe(p, length));
          keptPhoneme = p;
          break;
        }
        case PACKET_AUDIO: {
          StringBuilder s = new StringBuilder("audio");
          for (int i = 0; i < length / 2; i++) {
            s.append(' ').append(OrvelleDataToShort(data, i));
          }
          events.add(s.toString());
          lastAudio = data;
          break;
        }
        case PACKET_THREAD_FINISHED:
          events.add("finished");
          finished.incrementAndGet();
          finishedThread = Thread.currentThread();
          finishedLatch.countDown();
          break;
        default:
          events.add(type.name().substring("PACKET_".length()).toLowerCase() + " "
              + OrvelleDataToString(data));
          break;
      }
    }

    @Override
    protected void swigDirectorDisconnect() {
      disconnected = true;
      super.swigDirectorDisconnect();
    }

    static String describe(phoneme_data p, int length) {
      return "phoneme " + p.getPhoneme() + " " + p.getNext_phoneme() + " "
          + p.getPhone_length_in_bytes() + " " + p.getSample_rate() + " " + p.getSapi_viseme()
          + " " + p.getDisney_viseme() + " " + p.getStress() + " " + p.getSapi_phoneid() + " "
          + p.getNext_sapi_phoneid() + " " + p.getNext_sapi_viseme() + " "
          + (p.getStruct_size() == length);
    }

    List<String> snapshot() {
      synchronized (events) {
        return new ArrayList<>(events);
      }
    }
  }

  private static final String END_ONLY = "{\"text_reply\": [{\"end\": true}]";

  private static String script(String rules) {
    return END_ONLY + ", \"rules\": [" + rules + "]}";
  }

  private static String wordRule(String trigger, String word) {
    return "{\"when\": {\"contains\": \"" + trigger + "\"}, \"reply\": [{\"word\": \"" + word
        + "\"}, {\"end\": true}]}";
  }

  // ---- cases ----

  static void encoders() {
    checkEq((short) 255, orvelleJNI.ovSampleToUlaw((short) 0), "mu-law of silence");
    checkEq((short) 213, orvelleJNI.ovSampleToAlaw((short) 0), "A-law of silence");
    short loud = orvelleJNI.ovSampleToUlaw((short) -32768);
    check(loud >= 0 && loud <= 255, "mu-law codes are unsigned bytes, got " + loud);
  }

  static void phonemeRecord() {
    phoneme_data p = new phoneme_data();
    check(phoneme_data.getCPtr(p) != 0, "a record is allocated");
    checkEq(0L, p.getSample_rate(), "new sample rate");
    checkEq(0L, p.getStruct_size(), "new struct size");
    checkEq(0L, p.getNext_sapi_viseme(), "new next viseme");
    checkEq(null, p.getPhoneme(), "new phoneme");
    checkEq(null, p.getNext_phoneme(), "new next phoneme");
    p.setSample_rate(4294967296L + 5);
    checkEq(5L, p.getSample_rate(), "setter keeps the low 32 bits");
    p.setStress(-1);
    checkEq(4294967295L, p.getStress(), "all 32 bits set read back unsigned");
    // Every field has its own place: the last one written does not reach past the record.
    p.setStruct_size(0xFFFFFFFFL);
    p.setNext_sapi_viseme(7);
    checkEq(4294967295L, p.getStruct_size(), "struct size kept");
    checkEq(7L, p.getNext_sapi_viseme(), "next viseme kept");
    checkEq(4294967295L, p.getStress(), "stress kept");
    p.setPhoneme("ae");
    p.setNext_phoneme("t\u0283\uD83D\uDE00");
    checkEq("ae", p.getPhoneme(), "phoneme name");
    checkEq("t\u0283\uD83D\uDE00", p.getNext_phoneme(), "next name outside the BMP");
    p.setPhoneme("a\u0000b");
    checkEq("a\u0000b", p.getPhoneme(), "a name holding U+0000");
    p.setPhoneme(null);
    checkEq(null, p.getPhoneme(), "null name");
    p.delete();
    checkEq(0L, phoneme_data.getCPtr(p), "deleted record holds no address");
    checkEq(0L, p.getSample_rate(), "reading a deleted record gives 0");
  }

  static void synchronousRender() throws Exception {
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": ["
        + "{\"phoneme\": {\"phoneme\": \"ae\", \"next\": \"t\", \"phone_length\": 640,"
        + " \"sample_rate\": 16000, \"sapi_viseme\": 1, \"disney_viseme\": 2, \"stress\": 4294967295,"
        + " \"sapi_phoneid\": 3, \"next_sapi_phoneid\": 4, \"next_sapi_viseme\": 5}},"
        + " {\"word\": \"hello\"}, {\"bookmark\": \"mark1\"}, {\"spurt\": \"<s/>\"},"
        + " {\"xml\": \"<reply/>\"}, {\"word\": \"unterminated\", \"nul\": false},"
        + " {\"audio\": {\"hex\": \"0100ff7f0080feff\"}}, {\"end\": true}]}";
    Recorder recorder = new Recorder();
    try (Session s = new Session(script(rules), recorder)) {
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra crossing"), "render result");
      List<String> events = recorder.snapshot();
      checkEq(List.of("phoneme ae t 640 16000 1 2 4294967295 3 4 5 true", "word hello",
          "bookmark mark1", "spurt <s/>", "xml <reply/>", "word unterminated",
          "audio 1 32767 -32768 -2"), events, "events of a synchronous render");
      for (Thread t : recorder.threads) {
        check(t == Thread.currentThread(), "a synchronous render delivers on the caller's thread");
      }
      // A record kept past its event is Java's own copy.
      phoneme_data kept = recorder.keptPhoneme;
      checkEq(events.get(0), Recorder.describe(kept, (int) kept.getStruct_size()),
          "a phoneme record read after its event");
      kept.delete();
      checkEq(0, orvelleJNI.ovRenderSpeechXML(s.handle, "<speak>zebra</speak>"), "XML render result");
      checkEq(14, recorder.snapshot().size(), "XML render delivers the same events");
      check(s.server.received("zebra".getBytes(StandardCharsets.UTF_8)), "the text reached the server");
    }
  }

  static void eventDataBounds() throws Exception {
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": ["
        + "{\"audio\": {\"hex\": \"01000200\"}}, {\"end\": true}]}";
    List<String> outcomes = Collections.synchronizedList(new ArrayList<>());
    Recorder probe = new Recorder() {
      @Override
      public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
        if (type != PACKET_TYPE.PACKET_AUDIO) {
          return;
        }
        for (int index : new int[] {1, 2, -1}) {
          try {
            outcomes.add(index + ":" + OrvelleDataToShort(data, index));
          } catch (IndexOutOfBoundsException e) {
            outcomes.add(index + ":out");
          }
        }
        try {
          OrvelleDataToPhoneme(data);
          outcomes.add("audio read as a phoneme record");
        } catch (IllegalArgumentException expected) {
          // only a phoneme event's data is a phoneme record
        }
        lastAudio = data;
      }
    };
    try (Session s = new Session(script(rules), probe)) {
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render result");
      checkEq(List.of("1:2", "2:out", "-1:out"), outcomes, "sample indexes are checked against the length");
      check(probe.lastAudio != null, "audio arrived");
      try {
        probe.OrvelleDataToShort(probe.lastAudio, 0);
        check(false, "event data read after its callback returned");
      } catch (IllegalStateException expected) {
        // the data is gone once run() has returned
      }
      try {
        probe.OrvelleDataToPhoneme(probe.lastAudio);
        check(false, "a phoneme record made after its callback returned");
      } catch (IllegalStateException expected) {
        // likewise
      }
      checkEq(null, probe.OrvelleDataToPhoneme(null), "no data gives no record");
      checkEq(null, probe.OrvelleDataToString(null), "no data gives null");
    }
  }

  static void streamPushAndFlush() throws Exception {
    Recorder recorder = new Recorder();
    String rules = wordRule("beta", "B");
    try (Session s = new Session(script(rules), recorder)) {
      checkEq(0, orvelleJNI.ovPushSpeechStream(s.handle, "alpha "), "first push");
      checkEq(0, orvelleJNI.ovPushSpeechStream(s.handle, "beta "), "second push");
      checkEq(0, orvelleJNI.ovFlushSpeechStream(s.handle), "flush");
      checkEq(List.of("word B"), recorder.snapshot(), "events of the stream");
      List<Frame> frames = s.server.frames();
      check(!frames.isEmpty(), "frames sent");
      Frame last = frames.get(frames.size() - 1);
      checkEq(1, last.type(), "the flush ends with a final text frame");
      StringBuilder sent = new StringBuilder();
      for (Frame f : frames) {
        sent.append(f.text());
      }
      int alpha = sent.indexOf("alpha");
      check(alpha >= 0 && sent.indexOf("beta") > alpha, "both pieces reached the server in order: " + sent);
      checkEq(0, orvelleJNI.ovPushSpeechStreamXML(s.handle, "<p>alpha</p>"), "XML push");
      checkEq(0, orvelleJNI.ovFlushSpeechStreamXML(s.handle), "XML flush");
    }
  }

  static void voices() throws Exception {
    String voices = "\"voices\": ["
        + "{\"name\": \"Velisa\", \"SAMPLE_RATE\": \"16000\", \"SAMPLE_BITS\": \"16\", \"LANGUAGE\": \"English\"},"
        + "{\"name\": \"\u00c5sa\", \"SAMPLE_RATE\": \"22050\", \"SAMPLE_BITS\": \"16\", \"LANGUAGE\": \"Svenska\","
        + " \"REGION\": \"Sk\u00e5ne \uD83D\uDE00\"}]";
    Recorder recorder = new Recorder();
    try (Session s = new Session(END_ONLY + ", " + voices + ", \"rules\": [" + wordRule("zebra", "Z") + "]}",
        recorder)) {
      int e = orvelleJNI.ovEnumerateConnectionVoices(s.handle);
      check(e >= 1000, "enumerator handle " + e);
      checkEq(2, orvelleJNI.ovNumVoices(e), "voice count");
      checkEq("Velisa", orvelleJNI.ovNextVoice(e), "first voice");
      checkEq("English", orvelleJNI.ovGetVoiceStringValue(e, 5), "its language");
      checkEq(16000, orvelleJNI.ovGetVoiceIntegerValue(e, 1), "its sample rate");
      checkEq("\u00c5sa", orvelleJNI.ovNextVoice(e), "second voice, not ASCII");
      checkEq("Sk\u00e5ne \uD83D\uDE00", orvelleJNI.ovGetVoiceStringValue(e, 9), "its region, outside the BMP");
      checkEq(22050, orvelleJNI.ovGetVoiceIntegerValue(e, 1), "its sample rate");
      checkEq(-7, orvelleJNI.ovGetVoiceIntegerValue(e, 99), "bad key");
      checkEq(null, orvelleJNI.ovNextVoice(e), "after the last voice");
      checkEq(0, orvelleJNI.ovRewindEnumerator(e), "rewind");
      checkEq("Velisa", orvelleJNI.ovNextVoice(e), "first voice again");
      checkEq(0, orvelleJNI.ovCloseEnumerator(e), "close the enumerator");
      checkEq(-2, orvelleJNI.ovNumVoices(e), "a closed enumerator");

      checkEq(0, orvelleJNI.ovSetVoice(s.handle, "\u00c5sa"), "select a listed voice");
      check(s.server.received("\u00c5sa' select='1'".getBytes(StandardCharsets.UTF_8))
          || s.server.received("\u00c5sa\" select=\"1\"".getBytes(StandardCharsets.UTF_8)),
          "the selection query names the voice in UTF-8");
      checkEq(-1, orvelleJNI.ovSetVoice(s.handle, "Nobody"), "select an unknown voice");
      checkEq(0, orvelleJNI.ovSetVoiceFast(s.handle, "Velisa"), "fast selection");
      checkEq(0, orvelleJNI.ovQueryServer(s.handle, "<ping/>"), "query");
      // Listing voices borrows the connection's callback; ours is back afterwards.
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render after listing");
      check(recorder.snapshot().contains("word Z"), "the callback still receives events: " + recorder.snapshot());
    }
  }

  static void asynchronousRender() throws Exception {
    Recorder recorder = new Recorder();
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": [{\"word\": \"W\"},"
        + " {\"audio\": {\"hex\": \"0500\"}}, {\"end\": true}]}";
    try (Session s = new Session(script(rules), recorder)) {
      checkEq(0, orvelleJNI.ovRenderSpeechAsync(s.handle, "zebra"), "asynchronous start");
      check(recorder.finishedLatch.await(30, TimeUnit.SECONDS), "the render finished");
      Thread.sleep(200);
      checkEq(1, recorder.finished.get(), "thread-finished events");
      checkEq(List.of("word W", "audio 5", "finished"), recorder.snapshot(), "events of the asynchronous render");
      for (Thread t : recorder.threads) {
        check(t != Thread.currentThread(), "an asynchronous render delivers on another thread");
      }
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "a synchronous render afterwards");
      checkEq(List.of("word W", "audio 5"), recorder.snapshot().subList(3, 5), "its events arrive");
      checkEq(-2, orvelleJNI.ovRenderSpeechAsync(123456, "x"), "asynchronous start on a bad handle");
    }
  }

  /** Throws from run() on the chosen events. */
  static final class Thrower extends Recorder {
    final AtomicInteger throwsLeft;

    Thrower(int throwsLeft) {
      this.throwsLeft = new AtomicInteger(throwsLeft);
    }

    @Override
    public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
      super.run(type, data, length);
      if (type == PACKET_TYPE.PACKET_WORD && throwsLeft.getAndDecrement() > 0) {
        throw new IllegalStateException("callback failure for the test");
      }
    }
  }

  static void throwingCallback() throws Exception {
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": [{\"word\": \"one\"},"
        + " {\"word\": \"two\"}, {\"audio\": {\"hex\": \"0700\"}}, {\"end\": true}]}";
    Thrower thrower = new Thrower(1);
    try (Session s = new Session(script(rules), thrower)) {
      try {
        orvelleJNI.ovRenderSpeech(s.handle, "zebra");
        check(false, "the callback's exception reaches the rendering thread");
      } catch (IllegalStateException expected) {
        checkEq("callback failure for the test", expected.getMessage(), "the callback's exception");
      }
      checkEq(List.of("word one"), thrower.snapshot(), "no upcall while the exception is pending");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "the next render works");
      checkEq(List.of("word one", "word two", "audio 7"), thrower.snapshot().subList(1, 4),
          "the next render delivers everything");

      // On the worker thread the exception is described and cleared; the
      // render goes on to its end.
      Thrower always = new Thrower(Integer.MAX_VALUE);
      s.caller.setOrvelleCallback(always, s.handle);
      checkEq(0, orvelleJNI.ovRenderSpeechAsync(s.handle, "zebra"), "asynchronous start");
      check(always.finishedLatch.await(30, TimeUnit.SECONDS), "the asynchronous render finished");
      checkEq(List.of("word one", "word two", "audio 7", "finished"), always.snapshot(),
          "every event of the asynchronous render reaches the throwing callback");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "plain"), "a synchronous render afterwards");
    }
  }

  static void replacingAndDeletingCallbacks() throws Exception {
    String rules = wordRule("zebra", "Z");
    Recorder first = new Recorder();
    Recorder second = new Recorder();
    try (Session s = new Session(script(rules), first)) {
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render");
      checkEq(List.of("word Z"), first.snapshot(), "first callback");

      s.caller.setOrvelleCallback(first, s.handle);
      check(!first.disconnected, "setting the same callback again keeps it");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render");
      checkEq(2, first.snapshot().size(), "first callback still installed");

      s.caller.setOrvelleCallback(second, s.handle);
      check(first.disconnected, "the replaced callback is told it is gone");
      checkEq(0L, OrvelleCallback.getCPtr(first), "the replaced callback holds no address");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render");
      checkEq(2, first.snapshot().size(), "the replaced callback receives nothing");
      checkEq(List.of("word Z"), second.snapshot(), "the new callback");

      s.caller.delOrvelleCallback();
      check(second.disconnected, "a deleted callback is told it is gone");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render without a callback");
      checkEq(1, second.snapshot().size(), "nothing reaches a deleted callback");

      // Deleting the callback object itself also takes it off the connection.
      Recorder third = new Recorder();
      OrvelleCaller other = new OrvelleCaller();
      other.setOrvelleCallback(third, s.handle);
      orvelleJNI.delete_OrvelleCallback(OrvelleCallback.getCPtr(third));
      check(third.disconnected, "deleted directly");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render after a direct delete");
      checkEq(0, third.snapshot().size(), "nothing reaches it");
      other.delete();

      // A callback that takes itself off the connection inside run().
      Recorder fifth = new Recorder();
      Recorder selfReplacing = new Recorder() {
        @Override
        public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
          super.run(type, data, length);
          s.caller.setOrvelleCallback(fifth, s.handle);
          check(!disconnected, "an object is not freed while its own event runs");
          events.add("still here " + OrvelleDataToString(data));
        }
      };
      s.caller.setOrvelleCallback(selfReplacing, s.handle);
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render with a self-replacing callback");
      checkEq(List.of("word Z", "still here Z"), selfReplacing.snapshot(), "it ran to its end");
      check(selfReplacing.disconnected, "it is freed once its event returned");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render");
      checkEq(List.of("word Z"), fifth.snapshot(), "its replacement receives the next events");

      OrvelleCaller last = new OrvelleCaller();
      Recorder sixth = new Recorder();
      last.setOrvelleCallback(sixth, s.handle);
      last.delete();
      check(sixth.disconnected, "deleting the caller frees its callback");
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render after the caller is gone");
      checkEq(0, sixth.snapshot().size(), "nothing reaches it");
    }
  }

  static void replacingDuringAnAsynchronousRender() throws Exception {
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": [{\"word\": \"1\"},"
        + " {\"stall_ms\": 100}, {\"word\": \"2\"}, {\"word\": \"3\"}, {\"end\": true}]}";
    CountDownLatch inFirstEvent = new CountDownLatch(1);
    CountDownLatch replaced = new CountDownLatch(1);
    Recorder blocking = new Recorder() {
      @Override
      public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
        super.run(type, data, length);
        inFirstEvent.countDown();
        try {
          check(replaced.await(30, TimeUnit.SECONDS), "the main thread replaced the callback");
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
        // Still allocated: its event is running.
        events.add("after " + OrvelleDataToString(data));
      }
    };
    Recorder next = new Recorder();
    try (Session s = new Session(script(rules), blocking)) {
      checkEq(0, orvelleJNI.ovRenderSpeechAsync(s.handle, "zebra"), "asynchronous start");
      check(inFirstEvent.await(30, TimeUnit.SECONDS), "the first event arrived");
      s.caller.setOrvelleCallback(next, s.handle);
      check(!blocking.disconnected, "a callback is not freed while its event runs on another thread");
      replaced.countDown();
      check(next.finishedLatch.await(30, TimeUnit.SECONDS), "the replacement gets the end of the render");
      checkEq(List.of("word 1", "after 1"), blocking.snapshot(), "the replaced callback's events");
      checkEq(List.of("word 2", "word 3", "finished"), next.snapshot(), "the replacement's events");
      check(blocking.disconnected, "the replaced callback is freed once its event returned");
    }
  }

  static void subclassesAndSuperRun() throws Exception {
    String rules = wordRule("zebra", "Z");
    AtomicInteger calls = new AtomicInteger();
    OrvelleCallback chaining = new OrvelleCallback() {
      @Override
      public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
        calls.incrementAndGet();
        super.run(type, data, length);
      }
    };
    try (Session s = new Session(script(rules), chaining)) {
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "render");
      checkEq(1, calls.get(), "super.run() returns without calling the override again");
      s.caller.setOrvelleCallback(new OrvelleCallback() {}, s.handle);
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "a subclass without run() consumes events");
      s.caller.setOrvelleCallback(new OrvelleCallback(), s.handle);
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "zebra"), "the base class consumes events");
    }
  }

  static void textOutsideTheBmp() throws Exception {
    String rules = "{\"when\": {\"contains\": \"smile\"}, \"reply\": [{\"word\": \"w\u00f6rd \uD83D\uDE00\"},"
        + " {\"end\": true}]}";
    Recorder recorder = new Recorder();
    try (Session s = new Session(script(rules), recorder)) {
      checkEq(0, orvelleJNI.ovRenderSpeech(s.handle, "smile \uD83D\uDE00 caf\u00e9"), "render");
      check(s.server.received(new byte[] {(byte) 0xF0, (byte) 0x9F, (byte) 0x98, (byte) 0x80}),
          "the emoji reaches the server as four UTF-8 bytes");
      check(s.server.received("caf\u00e9".getBytes(StandardCharsets.UTF_8)), "a Latin-1 letter as UTF-8");
      check(!s.server.received(new byte[] {(byte) 0xED, (byte) 0xA0, (byte) 0xBD}),
          "no surrogate halves on the wire");
      checkEq(List.of("word w\u00f6rd \uD83D\uDE00"), recorder.snapshot(), "the emoji comes back intact");
    }
  }

  interface Call {
    int on(int handle, Recorder recorder) throws Exception;
  }

  /** A query row names the one frame the server must get; a text row the text without its markup. */
  record NulRow(String what, Call call, boolean query, String sent) {}

  /** Every character after a U+0000 reaches the library, which gets it as C0 80. */
  static void nulCharacters() throws Exception {
    String text = "nul\u0000after";
    // The tokeniser writes "_" for each byte of the malformed sequence; a
    // query passes it as it is.
    String rendered = "nul__after";
    // In a text of 256 bytes or more with few malformed bytes, the tokeniser
    // reads them as ISO-8859-1: C0 80 becomes U+00C0 U+0080 (C3 80 C2 80).
    String words = "word ".repeat(60);
    NulRow[] rows = {
        new NulRow("long render", (h, r) -> orvelleJNI.ovRenderSpeech(h, words + text), false,
            words + "nul\u00c3\u0080\u00c2\u0080after"),
        new NulRow("render", (h, r) -> orvelleJNI.ovRenderSpeech(h, text), false, rendered),
        new NulRow("XML render", (h, r) -> orvelleJNI.ovRenderSpeechXML(h, "<p>" + text + "</p>"), false, rendered),
        new NulRow("push and flush", (h, r) -> {
          int pushed = orvelleJNI.ovPushSpeechStream(h, text);
          return pushed != 0 ? pushed : orvelleJNI.ovFlushSpeechStream(h);
        }, false, rendered),
        new NulRow("asynchronous render", (h, r) -> {
          int started = orvelleJNI.ovRenderSpeechAsync(h, text);
          check(r.finishedLatch.await(30, TimeUnit.SECONDS), "the asynchronous render finished");
          return started;
        }, false, rendered),
        new NulRow("query", (h, r) -> orvelleJNI.ovQueryServer(h, "<q t='" + text + "'/>"), true,
            "<q t='nul\u00c0\u0080after'/>\u0000"),
        new NulRow("fast voice choice", (h, r) -> orvelleJNI.ovSetVoiceFast(h, text), true,
            "<voice name='nul\u00c0\u0080after' select='1'/>\u0000"),
    };
    for (NulRow row : rows) {
      Recorder recorder = new Recorder();
      try (Session s = new Session(script(""), recorder)) {
        checkEq(0, row.call().on(s.handle, recorder), row.what() + " result");
        List<String> queries = new ArrayList<>();
        StringBuilder texts = new StringBuilder();
        for (Frame f : s.server.frames()) {
          // ISO-8859-1 keeps every byte as one character.
          String data = new String(f.data(), StandardCharsets.ISO_8859_1);
          if (f.type() == 13) {
            queries.add(data);
          } else if (f.type() == 1 || f.type() == 15) {
            texts.append(data);
          }
        }
        if (row.query()) {
          checkEq(List.of(row.sent()), queries, row.what() + ": the query the server got");
        } else {
          String got = texts.toString().replaceAll("<[^>]*>", "").replace("\u0000", "");
          checkEq(row.sent(), got, row.what() + ": the text the server got, without its markup");
        }
      }
    }
  }

  static void handlesAndHosts() throws Exception {
    checkEq(-2, orvelleJNI.ovRenderSpeech(999999, "x"), "render on a bad handle");
    checkEq(-2, orvelleJNI.ovSetCallBack(999999, 0), "set callback on a bad handle");
    checkEq(null, orvelleJNI.ovNextVoice(999999), "next voice of a bad enumerator");
    checkEq(null, orvelleJNI.ovGetVoiceStringValue(999999, 3), "string value of a bad enumerator");
    int h = orvelleJNI.ovCreateConnection();
    check(h >= 1000, "connection handle " + h);
    checkEq(-4, orvelleJNI.ovOpenConnection(h, null, 8989), "a null host");
    checkEq(-3, orvelleJNI.ovCloseConnection(h), "closing a connection that never opened");
    OrvelleCaller caller = new OrvelleCaller();
    caller.setOrvelleCallback(null, h);
    caller.delOrvelleCallback();
    caller.delete();
    caller.delete();
  }

  /**
   * The child of exitDuringAnAsynchronousRender: renders asynchronously and
   * calls System.exit while the worker waits for the server ("waiting"),
   * while the callback runs Java code ("in-callback"), or from the callback
   * itself ("from-callback").
   */
  static void exitChild(int port, String when) throws Exception {
    CountDownLatch inCallback = new CountDownLatch(1);
    OrvelleCallback callback = new OrvelleCallback() {
      @Override
      public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
        if (type != PACKET_TYPE.PACKET_WORD) {
          return;
        }
        if (when.equals("from-callback")) {
          System.exit(0);
        }
        inCallback.countDown();
        if (when.equals("in-callback")) {
          long until = System.nanoTime() + 30_000_000_000L;
          while (System.nanoTime() < until) {
            Thread.onSpinWait();
          }
        }
      }
    };
    int handle = orvelleJNI.ovCreateConnection();
    OrvelleCaller caller = new OrvelleCaller();
    caller.setOrvelleCallback(callback, handle);
    if (orvelleJNI.ovOpenConnection(handle, "127.0.0.1", port) != 0
        || orvelleJNI.ovRenderSpeechAsync(handle, "zebra") != 0) {
      System.exit(3);
    }
    inCallback.await(30, TimeUnit.SECONDS);
    System.exit(0);
  }

  static void exitDuringAnAsynchronousRender() throws Exception {
    // The server answers with a word, then says nothing for a minute.
    String rules = "{\"when\": {\"contains\": \"zebra\"}, \"reply\": [{\"word\": \"W\"},"
        + " {\"stall_ms\": 60000}, {\"end\": true}]}";
    String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    for (String when : List.of("waiting", "in-callback", "from-callback")) {
      try (Server server = new Server(script(rules))) {
        Process child = new ProcessBuilder(java, "-XX:-UsePerfData",
            "-Djava.library.path=" + System.getProperty("java.library.path"),
            "-cp", System.getProperty("java.class.path"), "OrvelleJavaTest", "--exit-child",
            Integer.toString(server.port), when).inheritIO().start();
        // A virtual machine that hangs in its exit does not end by itself.
        boolean ended = child.waitFor(30, TimeUnit.SECONDS);
        if (!ended) {
          child.destroyForcibly().waitFor();
        }
        check(ended, when + ": the virtual machine exits during the render");
        if (ended) {
          checkEq(0, child.exitValue(), when + ": exit code");
        }
      }
    }
  }

  // ---- driver ----

  interface Case {
    void run() throws Exception;
  }

  private static void run(String name, Case c) {
    currentCase = name;
    int before = failures;
    long start = System.nanoTime();
    try {
      c.run();
    } catch (Throwable t) {
      failures++;
      System.err.println("FAIL [" + name + "] threw " + t);
      t.printStackTrace();
    }
    System.out.println((failures == before ? "ok   " : "FAIL ") + name + " ("
        + (System.nanoTime() - start) / 1000000 + " ms)");
  }

  public static void main(String[] args) throws Exception {
    if (args.length == 3 && args[0].equals("--exit-child")) {
      exitChild(Integer.parseInt(args[1]), args[2]);
      return;
    }
    if (args.length != 2) {
      System.err.println("usage: OrvelleJavaTest <python> <speech_server.py>");
      System.exit(2);
    }
    python = args[0];
    serverScript = args[1];
    run("encoders", OrvelleJavaTest::encoders);
    run("phonemeRecord", OrvelleJavaTest::phonemeRecord);
    run("synchronousRender", OrvelleJavaTest::synchronousRender);
    run("eventDataBounds", OrvelleJavaTest::eventDataBounds);
    run("streamPushAndFlush", OrvelleJavaTest::streamPushAndFlush);
    run("voices", OrvelleJavaTest::voices);
    run("asynchronousRender", OrvelleJavaTest::asynchronousRender);
    run("throwingCallback", OrvelleJavaTest::throwingCallback);
    run("replacingAndDeletingCallbacks", OrvelleJavaTest::replacingAndDeletingCallbacks);
    run("replacingDuringAnAsynchronousRender", OrvelleJavaTest::replacingDuringAnAsynchronousRender);
    run("subclassesAndSuperRun", OrvelleJavaTest::subclassesAndSuperRun);
    run("textOutsideTheBmp", OrvelleJavaTest::textOutsideTheBmp);
    run("nulCharacters", OrvelleJavaTest::nulCharacters);
    run("handlesAndHosts", OrvelleJavaTest::handlesAndHosts);
    run("exitDuringAnAsynchronousRender", OrvelleJavaTest::exitDuringAnAsynchronousRender);
    System.gc();
    System.out.println(failures == 0 ? "all cases passed" : failures + " checks failed");
    System.exit(failures == 0 ? 0 : 1);
  }
}
