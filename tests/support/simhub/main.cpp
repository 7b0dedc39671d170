// quenlith_simhub: plays a sensor hub on a pseudo-terminal, or on a TCP or UDP
// port of 127.0.0.1, until interrupted.

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include <boost/program_options.hpp>

#include "simhub/SimulatedHub.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int) { interrupted = 1; }

std::string DefaultTtyDirectory() {
  const char* directory = std::getenv("QUENLITH_TTY_DIR");
  return directory && *directory ? directory : "/tmp";
}

}  // namespace

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  po::options_description options("quenlith_simhub options");
  options.add_options()
      ("help", "show this text")
      ("kind", po::value<std::string>()->default_value("bsmain"), "hub kind: bsmain, usbcu, dongle, stream or sdk")
      ("line", po::value<std::string>()->default_value("pty"), "line: pty, tcp or udp")
      ("port", po::value<int>()->default_value(2000), "port of 127.0.0.1 for a tcp or udp line (0: any free one)")
      ("tty-dir", po::value<std::string>()->default_value(DefaultTtyDirectory()), "directory of the ttyUSB<N> link")
      ("com", po::value<int>()->default_value(1), "COM port number N")
      ("identity", po::value<std::string>(), "identify reply text")
      ("format", po::value<std::string>()->default_value("raw"), "data format: raw or quat")
      ("rate", po::value<double>()->default_value(100), "data frames per second (Hz)")
      ("sensors", po::value<int>()->default_value(1), "number of present sensors (0 to 32)")
      ("images", po::value<std::string>(), "flash image file: loaded at start if present, saved on exit")
      ("fault", po::value<std::string>(), "misbehave once: corrupt-checksum, truncated-frame, garbage-between-frames, "
                                          "wrong-length, odd-length, stop-answering, drop-line, no-write-ack, write-refused, "
                                          "short-flash-read, long-flash-read");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, options), values);
    po::notify(values);
    if (values.count("help")) {
      std::cout << options << "\n";
      return 0;
    }

    SimHub::HubOptions hub;
    hub.kind = SimHub::KindByName(values["kind"].as<std::string>());
    if (values.count("identity")) hub.identity = values["identity"].as<std::string>();
    const std::string format = values["format"].as<std::string>();
    if (format != "raw" && format != "quat") throw std::invalid_argument("unknown data format: " + format);
    hub.formatCode = format == "raw" ? 1000 : 4321;
    hub.frameRateHz = values["rate"].as<double>();
    if (!(hub.frameRateHz > 0 && hub.frameRateHz <= 10000)) throw std::invalid_argument("rate must be in (0, 10000] Hz");
    const int sensors = values["sensors"].as<int>();
    if (sensors < 0 || sensors > 32) throw std::invalid_argument("sensors must be 0 to 32");
    hub.sensors.assign(static_cast<std::size_t>(sensors), SimHub::SimSensor{"DKv3", SimHub::Bytes(512, 0xFF), {}});
    // On a USB CU hub each image names its own bus address (word 6).
    for (std::size_t i = 0; hub.kind == SimHub::HubKind::UsbCu && i < hub.sensors.size(); ++i) {
      hub.sensors[i].flash[6] = static_cast<std::uint8_t>(i + 1);
      hub.sensors[i].flash[7] = 0;
    }

    SimHub::SimulatedHub simulator(std::move(hub));
    std::filesystem::path images;
    if (values.count("images")) {
      images = values["images"].as<std::string>();
      if (std::filesystem::exists(images)) simulator.LoadImages(images);
    }
    if (values.count("fault")) simulator.InjectFault(SimHub::FaultByName(values["fault"].as<std::string>()));

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const std::string line = values["line"].as<std::string>();
    std::string where;
    if (line == "pty") {
      simulator.AttachPty(values["tty-dir"].as<std::string>(), values["com"].as<int>());
      where = simulator.LinkPath().string();
    } else if (line == "tcp" || line == "udp") {
      const int port = values["port"].as<int>();
      if (port < 0 || port > 65535) throw std::invalid_argument("port must be 0 to 65535");
      const auto protocol = line == "tcp" ? SimHub::Protocol::Tcp : SimHub::Protocol::Udp;
      where = "127.0.0.1:" + std::to_string(simulator.AttachNetwork(protocol, static_cast<std::uint16_t>(port))) + " (" +
              line + ")";
    } else {
      throw std::invalid_argument("unknown line: " + line);
    }
    std::cout << "simulated " << values["kind"].as<std::string>() << " hub on " << where << std::endl;
    while (!interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));

    simulator.Stop();
    if (!images.empty()) simulator.SaveImages(images);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "quenlith_simhub: " << error.what() << "\n";
    return 1;
  }
}
