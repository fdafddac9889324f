/* fen-rawmidi-floor: the least an update's transfer can cost on a rawmidi path, as a yardstick
 * for the updater. `host` sends ROUNDS messages of 2359 bytes (F0 ... F7), each after the
 * 7-byte answer to the one before, and prints the time taken; `echo` is the other end,
 * answering every whole message it reads with 7 bytes. Nothing else: no framing beyond
 * counting to F7, no checks, no threads. */
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kMessage = 2359, kAnswer = 7, kDefaultRounds = 1908 };

static snd_rawmidi_t* in;
static snd_rawmidi_t* out;

static void OpenBoth(const char* name) {
  int err = snd_rawmidi_open(&in, &out, name, SND_RAWMIDI_NONBLOCK);
  if (err < 0) {
    fprintf(stderr, "fen-rawmidi-floor: %s: %s\n", name, snd_strerror(err));
    exit(1);
  }
  /* USB MIDI and the gadget's f_midi pass input on only once it has been read. */
  unsigned char byte;
  (void)snd_rawmidi_read(in, &byte, 1);
  snd_rawmidi_nonblock(in, 0);
  snd_rawmidi_nonblock(out, 0);
}

static void WriteAll(const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = snd_rawmidi_write(out, data, size);
    if (n < 0) {
      fprintf(stderr, "fen-rawmidi-floor: write: %s\n", snd_strerror((int)n));
      exit(1);
    }
    data += n;
    size -= (size_t)n;
  }
}

/* Reads until `count` bytes have come, or until an F7 when `count` is 0. */
static void ReadMessage(size_t count) {
  unsigned char buffer[4096];
  size_t got = 0;
  for (;;) {
    ssize_t n = snd_rawmidi_read(in, buffer, count ? count - got : sizeof buffer);
    if (n < 0) {
      fprintf(stderr, "fen-rawmidi-floor: read: %s\n", snd_strerror((int)n));
      exit(1);
    }
    got += (size_t)n;
    if (count ? got >= count : memchr(buffer, 0xF7, (size_t)n) != NULL) return;
  }
}

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[1], "host") != 0 && strcmp(argv[1], "echo") != 0)) {
    fprintf(stderr, "usage: fen-rawmidi-floor host|echo DEVICE [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 3 ? atoi(argv[3]) : kDefaultRounds;
  OpenBoth(argv[2]);
  if (strcmp(argv[1], "echo") == 0) {
    static const unsigned char answer[kAnswer] = {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0xF7};
    printf("fen-rawmidi-floor: echo ready\n");
    fflush(stdout);
    for (int i = 0; i < rounds; ++i) {
      ReadMessage(0);
      WriteAll(answer, sizeof answer);
    }
    snd_rawmidi_drain(out);
    return 0;
  }
  unsigned char message[kMessage];
  message[0] = 0xF0;
  for (int i = 1; i < kMessage - 1; ++i) message[i] = (unsigned char)(i & 0x7F);
  message[kMessage - 1] = 0xF7;
  const double start = Now();
  for (int i = 0; i < rounds; ++i) {
    WriteAll(message, sizeof message);
    ReadMessage(kAnswer);
  }
  printf("fen-rawmidi-floor: %d round trips in %.3f s\n", rounds, Now() - start);
  return 0;
}
