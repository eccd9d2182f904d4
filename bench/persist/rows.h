// The benchmark's message: six mapped values, the same in the JSON payload
// the broker persists and in the row the SQLite baseline inserts.
#pragma once
#include <cstdio>
#include <string>

struct BenchRow {
  long id;
  int count;
  double temp;
  double humidity;
  const char* name;
  long stamp;
};

inline BenchRow benchRow(long i) {
  return BenchRow{i, static_cast<int>(i % 1000), 20.0 + (i % 100) / 10.0, 40.5 + (i % 7), "sensor-42", 1700000000 + i};
}

inline std::string benchPayload(long i) {
  BenchRow r = benchRow(i);
  char text[256];
  snprintf(text, sizeof text, "{\"id\":%ld,\"count\":%d,\"temp\":%.1f,\"humidity\":%.1f,\"name\":\"%s\",\"stamp\":%ld}",
           r.id, r.count, r.temp, r.humidity, r.name, r.stamp);
  return text;
}
