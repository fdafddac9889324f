// How long the simulated device takes: the link that carries the messages and the flash.
#pragma once

namespace fen::devsim {

struct SimTiming {
  // Bytes per second in each direction; 0 carries a message in no time.
  double link_bytes_per_second = 0;
  double erase_ms_per_kib = 0;
  double write_ms_per_block = 0;  // programming one 2048-byte block
  double reply_ms = 0;            // the device's own turnaround before it answers
  // Keep the modelled times to a few microseconds by polling the last moments before each
  // (a device on a link that only moves messages at set times, like JACK's periods, gains
  // nothing from it).
  bool exact = true;
  // Poll through every modelled wait instead of sleeping until its last moments: never late
  // by a wake-up, at the price of a processor while the device is busy. For benchmarks that
  // measure the host against the model.
  bool poll_throughout = false;

  static SimTiming Instant() { return {}; }
  // Full-speed USB MIDI: a 2359-byte Write Block takes about 2.6 ms on the wire; a whole
  // update of the four images takes about 10 s.
  static SimTiming Usb() { return {900000.0, 0.25, 1.5, 0.3}; }
  // A 5-pin DIN link at 31250 baud, ten bits a byte.
  static SimTiming Din() { return {3125.0, 0.25, 1.5, 0.3}; }

  double WireMs(double bytes) const {
    return link_bytes_per_second > 0 ? bytes * 1000.0 / link_bytes_per_second : 0.0;
  }
};

}  // namespace fen::devsim
