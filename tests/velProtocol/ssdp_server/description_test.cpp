// The device model: building the tree from a description, the UDN rules,
// loading files with their diagnostics, and the identity texts.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

std::string node_name(cg_xml_node* node) {
  const char* name = cg_xml_node_get_name(node);
  return name ? name : "";
}

std::string temp_file(const std::string& content) {
  char path[] = "/tmp/vbd-ssdp-descXXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "";
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    path[0] = 0;
  close(fd);
  return path;
}

const char* const kGeneratedUdn = "uuid:%x%x%x%x-a000-%x%x%x%x-e000";

}  // namespace

TEST(DescriptionTest, SampleBuildsDevicesServicesAndIcons) {
  cg_upnp_device* dev = cg_upnp_device_new();
  ASSERT_NE(dev, nullptr);
  // Embedded devices take these over at parse time.
  cg_upnp_device_set_lease_time(dev, 900);
  cg_upnp_device_set_http_port(dev, 4000);
  cg_upnp_device_set_description_uri(dev, "/d.xml");
  std::string text = sample_description();
  ASSERT_EQ(upnp_device_parsedescription(dev, text.c_str(), static_cast<int>(text.size()) + 1), 1);

  EXPECT_TRUE(cg_upnp_device_is_root(dev));
  EXPECT_STREQ(cg_upnp_device_get_udn(dev), kRootUdn);
  EXPECT_STREQ(cg_upnp_device_get_device_type(dev), kPlayerType);
  EXPECT_EQ(node_name(cg_upnp_device_get_root_node(dev)), "root");

  ASSERT_EQ(cg_upnp_service_list_size(cg_upnp_device_get_service_list(dev)), 2);
  cg_upnp_service* first = cg_upnp_service_list_first(cg_upnp_device_get_service_list(dev));
  EXPECT_STREQ(cg_upnp_service_get_service_type(first), kControlType);
  EXPECT_EQ(cg_upnp_service_get_device(first), dev);
  EXPECT_STREQ(cg_upnp_service_get_service_type(cg_upnp_service_next(first)), kStatusType);
  EXPECT_EQ(cg_upnp_icon_list_size(cg_upnp_device_get_icon_list(dev)), 2);

  ASSERT_EQ(cg_upnp_device_list_size(cg_upnp_device_get_device_list(dev)), 1);
  cg_upnp_device* tray = cg_upnp_device_list_first(cg_upnp_device_get_device_list(dev));
  EXPECT_FALSE(cg_upnp_device_is_root(tray));
  EXPECT_EQ(cg_upnp_device_get_parent(tray), dev);
  EXPECT_EQ(cg_upnp_device_get_root_device(tray), dev);
  EXPECT_STREQ(cg_upnp_device_get_udn(tray), kTrayUdn);
  EXPECT_EQ(cg_upnp_device_get_lease_time(tray), 900);
  EXPECT_EQ(cg_upnp_device_get_http_port(tray), 4000);
  EXPECT_STREQ(cg_upnp_device_get_description_uri(tray), "/d.xml");
  EXPECT_EQ(cg_upnp_service_list_size(cg_upnp_device_get_service_list(tray)), 1);
  EXPECT_EQ(cg_upnp_icon_list_size(cg_upnp_device_get_icon_list(tray)), 0);

  // Loading again replaces the whole tree.
  std::string small = "<r><device><UDN>uuid:x</UDN></device></r>";
  ASSERT_EQ(upnp_device_parsedescription(dev, small.c_str(), static_cast<int>(small.size()) + 1),
            1);
  EXPECT_STREQ(cg_upnp_device_get_udn(dev), "uuid:x");
  EXPECT_EQ(cg_upnp_device_list_size(cg_upnp_device_get_device_list(dev)), 0);
  EXPECT_EQ(cg_upnp_service_list_size(cg_upnp_device_get_service_list(dev)), 0);
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, DefaultsOfANewDevice) {
  cg_upnp_device* dev = cg_upnp_device_new();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(cg_upnp_device_get_lease_time(dev), 1800);
  EXPECT_EQ(cg_upnp_device_get_http_port(dev), 38400);
  EXPECT_STREQ(cg_upnp_device_get_description_uri(dev), "/description.xml");
  EXPECT_FALSE(cg_upnp_device_is_root(dev));
  EXPECT_EQ(cg_upnp_device_get_udn(dev), nullptr);
  EXPECT_EQ(cg_upnp_device_get_http_listener(dev), nullptr);
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, UdnIsLowerCasedInTheDocumentOfEveryDevice) {
  std::string text = replace_all(sample_description(), "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a2",
                                 "UUID:5F2B7C1E-8A43-4D0E-9B6A-3C1D0E7F4A2");
  cg_upnp_device* dev = device_from(text);
  ASSERT_NE(dev, nullptr);
  // The document itself holds the lower-case text, so the served copy does too.
  cg_xml_node* device_node = cg_upnp_device_get_device_node(dev);
  EXPECT_STREQ(cg_xml_node_get_child_value(device_node, "UDN"), kRootUdn);
  cg_upnp_device* tray = cg_upnp_device_list_first(cg_upnp_device_get_device_list(dev));
  EXPECT_STREQ(cg_xml_node_get_child_value(cg_upnp_device_get_device_node(tray), "UDN"), kTrayUdn);
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, MissingOrEmptyUdnIsGenerated) {
  for (const std::string udn_element : {"", "<UDN></UDN>", "<udn></udn>"}) {
    std::string text = "<root><device><deviceType>t</deviceType>" + udn_element +
                       "<friendlyName>f</friendlyName></device></root>";
    cg_upnp_device* dev = device_from(text);
    ASSERT_NE(dev, nullptr) << udn_element;
    const char* udn = cg_upnp_device_get_udn(dev);
    ASSERT_NE(udn, nullptr);
    EXPECT_TRUE(matches(udn, kGeneratedUdn)) << udn;
    cg_xml_node* device_node = cg_upnp_device_get_device_node(dev);
    int udn_count = 0;
    cg_xml_node* last = nullptr;
    for (cg_xml_node* c = cg_xml_node_list_first(cg_xml_node_get_children(device_node)); c;
         c = cg_xml_node_next(c)) {
      if (strcasecmp(node_name(c).c_str(), "udn") == 0) udn_count++;
      last = c;
    }
    EXPECT_EQ(udn_count, 1);
    // A new element goes last; an existing empty one is filled in place.
    if (udn_element.empty()) {
      EXPECT_EQ(node_name(last), "UDN");
    }
    cg_upnp_device_delete(dev);
  }
  char uuid[CG_UPNP_UUID_SIZE];
  EXPECT_TRUE(matches(cg_upnp_create_uuid(uuid), kGeneratedUdn)) << uuid;
}

TEST(DescriptionTest, ListElementsIgnoreCaseButEntriesMustBeExact) {
  std::string text =
      "<Top><Device><UDN>uuid:r</UDN>"
      "<DeviceList><device><UDN>uuid:a</UDN></device><Device><UDN>uuid:b</UDN></Device>"
      "<device><UDN>uuid:c</UDN></device></DeviceList>"
      "<SERVICELIST><service><serviceType>urn:s</serviceType></service>"
      "<Service><serviceType>urn:t</serviceType></Service></SERVICELIST>"
      "<iconlist><ICON><url>/x.png</url></ICON><icon><url>/y.png</url></icon></iconlist>"
      "</Device></Top>";
  cg_upnp_device* dev = device_from(text);
  ASSERT_NE(dev, nullptr);
  cg_upnp_device_list* devices = cg_upnp_device_get_device_list(dev);
  ASSERT_EQ(cg_upnp_device_list_size(devices), 2);
  EXPECT_STREQ(cg_upnp_device_get_udn(cg_upnp_device_list_first(devices)), "uuid:a");
  EXPECT_STREQ(cg_upnp_device_get_udn(cg_upnp_device_next(cg_upnp_device_list_first(devices))),
               "uuid:c");
  EXPECT_EQ(cg_upnp_service_list_size(cg_upnp_device_get_service_list(dev)), 1);
  ASSERT_EQ(cg_upnp_icon_list_size(cg_upnp_device_get_icon_list(dev)), 1);
  EXPECT_STREQ(
      cg_xml_node_get_child_value(
          cg_upnp_icon_get_icon_node(cg_upnp_icon_list_first(cg_upnp_device_get_icon_list(dev))),
          "url"),
      "/y.png");
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, TextsThatAreNoDescriptionAreRefused) {
  cg_upnp_device* dev = cg_upnp_device_new();
  ASSERT_NE(dev, nullptr);
  for (const std::string text :
       {"", "no markup", "<root><other/></root>", "<a><b></a>", "<root><device>"}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(upnp_device_parsedescription(dev, text.c_str(), static_cast<int>(text.size()) + 1), 0)
        << text;
    testing::internal::GetCapturedStderr();
    // Nothing of a refused text stays: no document, nothing to announce.
    EXPECT_FALSE(cg_upnp_device_is_root(dev));
    EXPECT_EQ(cg_upnp_device_get_device_node(dev), nullptr);
  }
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, LoadPrintsTheFailureLines) {
  cg_upnp_device* dev = cg_upnp_device_new();
  ASSERT_NE(dev, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(loaddescriptionfile(dev, "/nonexistent/vbd/description.xml"), 0);
  // The failure line, then the file and the system's reason.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "(./velProtocol/ssdp_server/cdevice:L365::)Can't load "
            "/nonexistent/vbd/description.xml!!\n"
            "(./velProtocol/ssdp_server/cdevice:L365::)/nonexistent/vbd/description.xml: No such file or directory\n");
  std::string empty = temp_file("");
  ASSERT_FALSE(empty.empty());
  testing::internal::CaptureStderr();
  EXPECT_EQ(loaddescriptionfile(dev, empty.c_str()), 0);
  EXPECT_TRUE(testing::internal::GetCapturedStderr().ends_with(empty + ": No data available\n"));
  std::remove(empty.c_str());

  std::string path = temp_file("<root><nodevice/></root>");
  ASSERT_FALSE(path.empty());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(loaddescriptionfile(dev, path.c_str()), 0);
  std::string err = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(err,
            "(./velProtocol/ssdp_server/cdevice:L379::)upnp_device_parsedescription() error !!\n");
  std::remove(path.c_str());

  path = temp_file(sample_description());
  testing::internal::CaptureStdout();
  EXPECT_EQ(loaddescriptionfile(dev, path.c_str()), 1);
  std::string out = testing::internal::GetCapturedStdout();
  // The loader shows the file under its banner.
  EXPECT_NE(out.find("read from <libvbdpserver.a>"), std::string::npos);
  EXPECT_NE(out.find(kRootUdn), std::string::npos);
  EXPECT_STREQ(cg_upnp_device_get_udn(dev), kRootUdn);
  std::remove(path.c_str());
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, ServerNameAndLocationUrl) {
  char buffer[CG_UPNP_SERVER_NAME_SIZE];
  EXPECT_STREQ(cg_upnp_get_server_name(buffer, sizeof(buffer)), kServerName);
  // The suffix only goes in while there is room beyond the platform text.
  char small[13];
  EXPECT_STREQ(cg_upnp_get_server_name(small, sizeof(small)), "Platform 1.0");

  cg_upnp_device* dev = cg_upnp_device_new();
  ASSERT_NE(dev, nullptr);
  char url[128];
  EXPECT_STREQ(cg_upnp_device_get_location_url(dev, "192.168.0.10", url, sizeof(url)),
               "http://192.168.0.10:38400/description.xml");
  EXPECT_STREQ(cg_upnp_device_get_location_url(dev, "fe80::1", url, sizeof(url)),
               "http://[fe80::1]:38400/description.xml");
  char tiny[20];
  EXPECT_EQ(cg_upnp_device_get_location_url(dev, "192.168.0.10", tiny, sizeof(tiny)), nullptr);
  cg_upnp_device_delete(dev);
}

TEST(DescriptionTest, DeepDeviceNestingIsCut) {
  std::string text = "<root>";
  for (int i = 0; i < 200; i++) text += "<device><UDN>uuid:d</UDN><deviceList>";
  for (int i = 0; i < 200; i++) text += "</deviceList></device>";
  text += "</root>";
  cg_upnp_device* dev = device_from(text);
  ASSERT_NE(dev, nullptr);
  int depth = 0;
  for (cg_upnp_device* d = dev; d;
       d = cg_upnp_device_list_first(cg_upnp_device_get_device_list(d))) {
    depth++;
  }
  EXPECT_EQ(depth, 33);  // the root and 32 levels of embedded devices
  cg_upnp_device_delete(dev);
}
