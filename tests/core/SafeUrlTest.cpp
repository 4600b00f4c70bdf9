#include "core/SafeUrl.h"

#include <gtest/gtest.h>

using namespace quippet;

TEST(SafeUrlTest, OnlyWebPagesAndTheLocalBackendMayBeOpened) {
    struct Row {
        const char* url;
        bool safe;
    };
    for (const Row& r :
         {Row{"https://quippet.app/activate?code=ABCD", true}, Row{"HTTPS://Quippet.app/x", true},
          Row{"http://127.0.0.1:8080/device", true}, Row{"http://localhost/device", true},
          Row{"http://[::1]:9/x", true}, Row{"http://quippet.app/device", false},
          Row{"http://127.0.0.1.evil.example/x", false}, Row{"file:///etc/passwd", false},
          Row{"javascript:alert(1)", false}, Row{"quippet://auth?code=1", false}, Row{"smb://host/share", false},
          Row{"https://user:pw@quippet.app/", false}, Row{"", false}, Row{"https:///nohost", false}})
        EXPECT_EQ(isSafeToOpen(QUrl(QString::fromLatin1(r.url))), r.safe) << r.url;
}
