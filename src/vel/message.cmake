# Builders of the leaderboard protocol's responses.
add_library(vel_message SHARED leaderboard_message_writer.cc)
target_link_libraries(vel_message PUBLIC vel_core leaderboard_proto)
