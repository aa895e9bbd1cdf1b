#include "support/http_get.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>

namespace plemox_test {

HttpAnswer HttpRequest(int port, const std::string& method,
                       const std::string& target,
                       const std::map<std::string, std::string>& headers,
                       const std::string& body) {
  namespace http = boost::beast::http;
  HttpAnswer answer;
  boost::asio::io_context context;
  boost::beast::tcp_stream stream(context);
  stream.expires_after(std::chrono::seconds(5));
  boost::system::error_code error;
  stream.connect({boost::asio::ip::address_v4::loopback(),
                  static_cast<unsigned short>(port)},
                 error);
  if (error) return answer;
  http::request<http::string_body> request(http::string_to_verb(method), target,
                                           11);
  request.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request, error);
  if (error) return answer;
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, error);
  if (error) return answer;
  answer.status = static_cast<int>(response.result_int());
  answer.content_type = std::string(response[http::field::content_type]);
  answer.body = response.body();
  for (const auto& field : response) {
    answer.headers[std::string(field.name_string())] =
        std::string(field.value());
  }
  return answer;
}

}  // namespace plemox_test
