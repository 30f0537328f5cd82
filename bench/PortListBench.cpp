// What listing the serial ports costs, as a port list does each time it
// drops down: median and worst of many ListSerialPorts calls, and how many
// ports and tty entries there were to look at.
//
//   build/bench/port_list_bench [calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "serial/SerialPorts.h"

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
    if (calls <= 0) return 2;
    std::vector<double> us;
    size_t ports = 0;
    for (int i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ports = ListSerialPorts().size();
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    size_t ttys = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) ttys += entry.exists() ? 1 : 0;
    std::printf("ListSerialPorts: median %.0f us, worst %.0f us over %d calls (%zu ports listed of %zu tty entries)\n",
                us[us.size() / 2], us.back(), calls, ports, ttys);
    return 0;
}
