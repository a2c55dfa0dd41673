<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="vi_VN">
<context>
    <name>CameraControlsDialog</name>
    <message>
        <source>auto-focus</source>
        <translation>Lấy nét tự động</translation>
    </message>
    <message>
        <source>auto-white-balance</source>
        <translation>Cân bằng trắng tự động</translation>
    </message>
    <message>
        <source>backlight-compensation</source>
        <translation>Bù ngược sáng</translation>
    </message>
    <message>
        <source>brightness</source>
        <translation>Độ sáng</translation>
    </message>
    <message>
        <source>camera-not-opened</source>
        <translation>Không mở được cài đặt của camera: %1</translation>
    </message>
    <message>
        <source>camera-settings</source>
        <translation>Cài đặt camera: %1</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Đóng</translation>
    </message>
    <message>
        <source>contrast</source>
        <translation>Độ tương phản</translation>
    </message>
    <message>
        <source>exposure-mode</source>
        <translation>Chế độ phơi sáng</translation>
    </message>
    <message>
        <source>exposure-time</source>
        <translation>Thời gian phơi sáng</translation>
    </message>
    <message>
        <source>focus</source>
        <translation>Lấy nét</translation>
    </message>
    <message>
        <source>gain</source>
        <translation>Độ khuếch đại</translation>
    </message>
    <message>
        <source>hue</source>
        <translation>Sắc độ</translation>
    </message>
    <message>
        <source>no-controls</source>
        <translation>Camera này không có cài đặt nào</translation>
    </message>
    <message>
        <source>not-changed</source>
        <translation>Không thay đổi được %1: %2</translation>
    </message>
    <message>
        <source>pan</source>
        <translation>Xoay ngang</translation>
    </message>
    <message>
        <source>power-line-frequency</source>
        <translation>Tần số điện lưới</translation>
    </message>
    <message>
        <source>reset</source>
        <translation>Đặt lại mặc định</translation>
    </message>
    <message>
        <source>reset-incomplete</source>
        <translation>Một số cài đặt vẫn giữ nguyên: %1</translation>
    </message>
    <message>
        <source>saturation</source>
        <translation>Độ bão hòa</translation>
    </message>
    <message>
        <source>sharpness</source>
        <translation>Độ sắc nét</translation>
    </message>
    <message>
        <source>tilt</source>
        <translation>Nghiêng</translation>
    </message>
    <message>
        <source>white-balance-temperature</source>
        <translation>Nhiệt độ cân bằng trắng</translation>
    </message>
    <message>
        <source>zoom</source>
        <translation>Thu phóng</translation>
    </message>
</context>
<context>
    <name>KxManager</name>
    <message>
        <source>address-not-callable</source>
        <translation>"%1" không phải là địa chỉ có thể gọi</translation>
    </message>
    <message>
        <source>address-too-long</source>
        <translation>Địa chỉ quá dài</translation>
    </message>
    <message>
        <source>call-in-progress</source>
        <translation>Đang có một cuộc gọi</translation>
    </message>
    <message>
        <source>call-not-set-up</source>
        <translation>Không thể thiết lập cuộc gọi</translation>
    </message>
    <message>
        <source>no-address-given</source>
        <translation>Chưa nhập địa chỉ</translation>
    </message>
    <message>
        <source>camera-stopped</source>
        <translation>Camera &quot;%1&quot; đã ngừng; không còn hình ảnh nào được gửi từ nó</translation>
    </message>
    <message>
        <source>camera-refused</source>
        <translation>Desktop không cho phép dùng camera; không có hình ảnh nào được gửi</translation>
    </message>
    <message>
        <source>capture-needs-portal</source>
        <translation>Chia sẻ màn hình trong phiên Wayland này cần portal chia sẻ màn hình của desktop (gói xdg desktop portal và back end cho desktop này); camera vẫn hoạt động</translation>
    </message>
    <message>
        <source>capture-refused</source>
        <translation>Desktop không cho phép chia sẻ màn hình; không có hình ảnh nào được gửi</translation>
    </message>
    <message>
        <source>capture-no-answer</source>
        <translation>Desktop không trả lời yêu cầu chia sẻ màn hình; không có hình ảnh nào được gửi</translation>
    </message>
    <message>
        <source>capture-ended</source>
        <translation>Việc chia sẻ màn hình đã bị dừng từ desktop; không có hình ảnh nào được gửi</translation>
    </message>
    <message>
        <source>capture-format</source>
        <translation>Desktop chỉ cung cấp màn hình ở định dạng hình ảnh mà ứng dụng này không đọc được; không có hình ảnh nào được gửi</translation>
    </message>
    <message>
        <source>capture-no-display</source>
        <translation>Ghi màn hình và cửa sổ cần một màn hình X</translation>
    </message>
    <message>
        <source>share-window-closed</source>
        <translation>Cửa sổ chia sẻ đã đóng: không chia sẻ gì</translation>
    </message>
    <message>
        <source>share-held-auto-answer</source>
        <translation>Cuộc gọi tự trả lời: màn hình không được chia sẻ cho đến khi bạn chọn</translation>
    </message>
    <message>
        <source>window-closed</source>
        <translation>Cửa sổ đang chia sẻ đã đóng; không gửi gì của màn hình cho đến khi bạn chọn lại nguồn</translation>
    </message>
    <message>
        <source>gk-registered</source>
        <translation>Đã đăng ký với gatekeeper: %1</translation>
    </message>
    <message>
        <source>gk-registering</source>
        <translation>Đang đăng ký với gatekeeper...</translation>
    </message>
    <message>
        <source>gk-rejected</source>
        <translation>Gatekeeper từ chối đăng ký: %1</translation>
    </message>
    <message>
        <source>gk-unreachable-retry</source>
        <translation>Gatekeeper không trả lời; thử lại sau %1 giây</translation>
    </message>
    <message>
        <source>gk-unreachable</source>
        <translation>Gatekeeper không trả lời; đang thử lại</translation>
    </message>
    <message>
        <source>gk-traversal-on</source>
        <translation>Vượt NAT qua %1: bật</translation>
    </message>
    <message>
        <source>gk-traversal-not-offered</source>
        <translation>Vượt NAT qua %1: gatekeeper không hỗ trợ</translation>
    </message>
    <message>
        <source>gk-traversal-off</source>
        <translation>Vượt NAT qua %1: tắt</translation>
    </message>
    <message>
        <source>gk-traversal-unnamed</source>
        <translation>gatekeeper</translation>
    </message>
    <message>
        <source>gk-unregistered</source>
        <translation>Chưa đăng ký với gatekeeper</translation>
    </message>
    <message>
        <source>gk-why-security</source>
        <translation>mật khẩu hoặc bí danh không đúng</translation>
    </message>
    <message>
        <source>gk-why-duplicate</source>
        <translation>bí danh đã được một thiết bị khác đăng ký</translation>
    </message>
    <message>
        <source>gk-why-alias</source>
        <translation>gatekeeper không chấp nhận bí danh hoặc số này</translation>
    </message>
    <message>
        <source>gk-why-full</source>
        <translation>gatekeeper không nhận thêm thiết bị</translation>
    </message>
    <message>
        <source>gk-why-excluded</source>
        <translation>thiết bị này không được phép đăng ký</translation>
    </message>
    <message>
        <source>gk-why-resolve</source>
        <translation>không tìm thấy địa chỉ của gatekeeper</translation>
    </message>
    <message>
        <source>call-failed</source>
        <translation>Cuộc gọi tới %1 không thành công: %2</translation>
    </message>
    <message>
        <source>call-cancelled</source>
        <translation>Đã hủy cuộc gọi tới %1</translation>
    </message>
    <message>
        <source>call-ended</source>
        <translation>Cuộc gọi với %1 đã kết thúc (%2)</translation>
    </message>
    <message>
        <source>call-ended-by-far-end</source>
        <translation>%1 đã kết thúc cuộc gọi (%2)</translation>
    </message>
    <message>
        <source>call-ended-because</source>
        <translation>Cuộc gọi với %1 đã kết thúc sau %2: %3</translation>
    </message>
    <message>
        <source>missed-call</source>
        <translation>Cuộc gọi nhỡ từ %1</translation>
    </message>
    <message>
        <source>missed-call-busy</source>
        <translation>Cuộc gọi nhỡ từ %1 (bạn đang trong một cuộc gọi khác)</translation>
    </message>
    <message>
        <source>redirect-failed</source>
        <translation>%1 đã chuyển cuộc gọi tới %2, nhưng không thể gọi tới đó: %3</translation>
    </message>
    <message>
        <source>why-alias-not-registered</source>
        <translation>tên không có máy chủ được gọi qua gatekeeper, nhưng gatekeeper chưa đăng ký máy này</translation>
    </message>
    <message>
        <source>why-alias-needs-gatekeeper</source>
        <translation>không có máy chủ tên đó; một tên không có máy chủ cần gatekeeper để gọi</translation>
    </message>
    <message>
        <source>why-nobody-listening</source>
        <translation>không có gì trả lời tại địa chỉ đó (không có thiết bị hội nghị truyền hình nào đang chờ ở đó, hoặc thiết bị đã tắt)</translation>
    </message>
    <message>
        <source>why-name-not-found</source>
        <translation>không tìm thấy máy chủ có tên này (chỉ có bí danh thì cần gatekeeper, hoặc dạng bí danh@máy chủ)</translation>
    </message>
    <message>
        <source>why-busy</source>
        <translation>máy đang bận</translation>
    </message>
    <message>
        <source>why-no-answer</source>
        <translation>không có người trả lời</translation>
    </message>
    <message>
        <source>why-refused</source>
        <translation>cuộc gọi bị từ chối</translation>
    </message>
    <message>
        <source>why-temporary</source>
        <translation>đầu bên kia gặp lỗi tạm thời</translation>
    </message>
    <message>
        <source>why-temporary-twice</source>
        <translation>đầu bên kia gặp lỗi tạm thời, cả ở lần thử thứ hai</translation>
    </message>
    <message>
        <source>why-unreachable</source>
        <translation>không thể kết nối tới địa chỉ này</translation>
    </message>
    <message>
        <source>why-offline</source>
        <translation>đầu bên kia không hoạt động</translation>
    </message>
    <message>
        <source>why-no-user</source>
        <translation>không có người dùng này ở đó</translation>
    </message>
    <message>
        <source>why-gatekeeper</source>
        <translation>gatekeeper không cho phép cuộc gọi</translation>
    </message>
    <message>
        <source>why-no-common-media</source>
        <translation>hai bên không có định dạng âm thanh hoặc hình ảnh chung</translation>
    </message>
    <message>
        <source>why-security</source>
        <translation>cuộc gọi không được bảo mật: không mã hóa được truyền thông như yêu cầu, hoặc kiểm tra bảo mật không thành công</translation>
    </message>
    <message>
        <source>why-connection-lost</source>
        <translation>mất kết nối</translation>
    </message>
    <message>
        <source>why-no-resources</source>
        <translation>không đủ băng thông hoặc tài nguyên</translation>
    </message>
    <message>
        <source>why-media-failed</source>
        <translation>không thể bắt đầu âm thanh hoặc hình ảnh</translation>
    </message>
    <message>
        <source>why-bad-address</source>
        <translation>đầu bên kia không chấp nhận địa chỉ này</translation>
    </message>
    <message>
        <source>why-time-limit</source>
        <translation>cuộc gọi đã đạt giới hạn thời gian</translation>
    </message>
    <message>
        <source>sent-on-to</source>
        <translation>%1, được chuyển tới %2</translation>
    </message>
    <message>
        <source>no-sound-device</source>
        <translation>Không mở được thiết bị âm thanh: cuộc gọi này không có tiếng. Máy chủ âm thanh (PulseAudio hoặc PipeWire) có đang chạy không?</translation>
    </message>
    <message>
        <source>media-audio</source>
        <translation>âm thanh</translation>
    </message>
    <message>
        <source>media-video</source>
        <translation>hình ảnh</translation>
    </message>
    <message>
        <source>media-camera-control</source>
        <translation>điều khiển camera</translation>
    </message>
    <message>
        <source>media-content</source>
        <translation>nội dung trình chiếu</translation>
    </message>
    <message>
        <source>media-encrypted-tip</source>
        <translation>Truyền thông được mã hóa: AES 128 bit (CBC), khóa thỏa thuận bằng Diffie Hellman (nhóm 1024 bit)</translation>
    </message>
    <message>
        <source>media-clear-off</source>
        <translation>Truyền thông không được mã hóa: mã hóa đang tắt trong cài đặt mạng</translation>
    </message>
    <message>
        <source>media-clear-peer</source>
        <translation>Truyền thông không được mã hóa: đầu kia không mã hóa</translation>
    </message>
    <message>
        <source>media-clear-some</source>
        <translation>Không phải mọi truyền thông đều được mã hóa: %1 không mã hóa</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>Cửa sổ chính</translation>
    </message>
    <message>
        <source>answer</source>
        <translation>Trả lời</translation>
    </message>
    <message>
        <source>app-minimized-to-tray</source>
        <translation>Ứng dụng đã được thu nhỏ xuống khay hệ thống</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Bạn có chắc không</translation>
    </message>
    <message>
        <source>decline</source>
        <translation>Từ chối</translation>
    </message>
    <message>
        <source>display-camera</source>
        <translation>Hiển thị camera</translation>
    </message>
    <message>
        <source>exit</source>
        <translation>Thoát</translation>
    </message>
    <message>
        <source>exit-program</source>
        <translation>Thoát chương trình</translation>
    </message>
    <message>
        <source>from</source>
        <translation>Từ</translation>
    </message>
    <message>
        <source>incoming-call</source>
        <translation>Cuộc gọi đến</translation>
    </message>
    <message>
        <source>info</source>
        <translation>Thông tin</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Cài đặt</translation>
    </message>
    <message>
        <source>show</source>
        <translation>Hiện cửa sổ</translation>
    </message>
    <message>
        <source>end-call-and-quit</source>
        <translation>Kết thúc cuộc gọi với %1 và thoát?</translation>
    </message>
    <message>
        <source>app-in-tray-call-goes-on</source>
        <translation>Cuộc gọi vẫn tiếp tục; Kestrovia ở khay hệ thống</translation>
    </message>
    <message>
        <source>call-will-be-clear</source>
        <translation>Cuộc gọi này sẽ không được mã hóa: bên gọi không mã hóa truyền thông.</translation>
    </message>
</context>
<context>
    <name>SettingsAudio</name>
    <message>
        <source>echo-cancel</source>
        <translation>Khử tiếng vọng</translation>
    </message>
    <message>
        <source>echo-length-ms</source>
        <translation>Độ dài tiếng vọng (ms)</translation>
    </message>
    <message>
        <source>input-device</source>
        <translation>Thiết bị đầu vào</translation>
    </message>
    <message>
        <source>input-volume</source>
        <translation>Âm lượng đầu vào</translation>
    </message>
    <message>
        <source>jitter-delay</source>
        <translation>Bộ đệm rung pha</translation>
    </message>
    <message>
        <source>output-device</source>
        <translation>Thiết bị đầu ra</translation>
    </message>
    <message>
        <source>output-volume</source>
        <translation>Âm lượng đầu ra</translation>
    </message>
    <message>
        <source>playing</source>
        <translation>Đang phát</translation>
    </message>
    <message>
        <source>recording</source>
        <translation>Đang ghi âm</translation>
    </message>
    <message>
        <source>silence-detection</source>
        <translation>Phát hiện khoảng lặng</translation>
    </message>
    <message>
        <source>test-devices</source>
        <translation>Kiểm tra thiết bị</translation>
    </message>
    <message>
        <source>test-micro</source>
        <translation>Kiểm tra micrô</translation>
    </message>
    <message>
        <source>test-speaker</source>
        <translation>Kiểm tra loa</translation>
    </message>
    <message>
        <source>test-failed</source>
        <translation>Không mở được thiết bị</translation>
    </message>
    <message>
        <source>test-loudest</source>
        <translation>Âm lớn nhất: %1 %</translation>
    </message>
    <message>
        <source>test-silent</source>
        <translation>Không nghe thấy gì</translation>
    </message>
    <message>
        <source>no-sound-device</source>
        <translation>Không có thiết bị âm thanh nào, nên các cuộc gọi sẽ không có tiếng. Máy chủ âm thanh (PulseAudio hoặc PipeWire) có đang chạy không?</translation>
    </message>
</context>
<context>
    <name>SettingsCodecs</name>
    <message>
        <source>audio-codecs</source>
        <translation>Bộ mã hóa âm thanh</translation>
    </message>
    <message>
        <source>fecc</source>
        <translation>Điều khiển camera đầu xa</translation>
    </message>
    <message>
        <source>video-frame-size</source>
        <translation>Cỡ khung hình video</translation>
    </message>
</context>
<context>
    <name>SettingsGeneral</name>
    <message>
        <source>auto-answer</source>
        <translation>Tự động trả lời</translation>
    </message>
    <message>
        <source>auto-start</source>
        <translation>Chạy khi đăng nhập</translation>
    </message>
    <message>
        <source>auto-update</source>
        <translation>Tự động cập nhật</translation>
    </message>
    <message>
        <source>display-name</source>
        <translation>Tên hiển thị</translation>
    </message>
    <message>
        <source>language</source>
        <translation>Ngôn ngữ</translation>
    </message>
    <message>
        <source>autostart-failed</source>
        <translation>Không thể đặt tự khởi động khi đăng nhập: %1</translation>
    </message>
</context>
<context>
    <name>SettingsNetwork</name>
    <message>
        <source>bandwidth-receive</source>
        <translation>Băng thông nhận</translation>
    </message>
    <message>
        <source>bandwidth-transmit</source>
        <translation>Băng thông gửi</translation>
    </message>
    <message>
        <source>enable-nat</source>
        <translation>Bật NAT</translation>
    </message>
    <message>
        <source>media-ports-tcp</source>
        <translation>Cổng media TCP</translation>
    </message>
    <message>
        <source>media-ports-udp</source>
        <translation>Cổng media UDP</translation>
    </message>
    <message>
        <source>nat-manual</source>
        <translation>Thủ công</translation>
    </message>
    <message>
        <source>nat-off</source>
        <translation>Tắt</translation>
    </message>
    <message>
        <source>nat-stun</source>
        <translation>STUN</translation>
    </message>
    <message>
        <source>public-ip</source>
        <translation>Địa chỉ IP công cộng</translation>
    </message>
    <message>
        <source>stun-server</source>
        <translation>Máy chủ STUN</translation>
    </message>
    <message>
        <source>ports-corrected</source>
        <translation>Đã sửa cổng: %1</translation>
    </message>
    <message>
        <source>stun-answered</source>
        <translation>Địa chỉ công cộng: %1</translation>
    </message>
    <message>
        <source>stun-asking</source>
        <translation>Đang hỏi %1...</translation>
    </message>
    <message>
        <source>stun-no-answer</source>
        <translation>%1 không trả lời hoặc không phân giải được tên</translation>
    </message>
    <message>
        <source>gatekeeper</source>
        <translation>Máy chủ gatekeeper</translation>
    </message>
    <message>
        <source>gatekeeper-alias</source>
        <translation>Bí danh</translation>
    </message>
    <message>
        <source>gatekeeper-e164</source>
        <translation>Số E.164</translation>
    </message>
    <message>
        <source>gatekeeper-host</source>
        <translation>Địa chỉ gatekeeper</translation>
    </message>
    <message>
        <source>gk-host</source>
        <translation>Tại địa chỉ này</translation>
    </message>
    <message>
        <source>gk-off</source>
        <translation>Không dùng</translation>
    </message>
    <message>
        <source>gk-auto</source>
        <translation>Tự tìm trên mạng</translation>
    </message>
    <message>
        <source>gatekeeper-password</source>
        <translation>Mật khẩu gatekeeper</translation>
    </message>
    <message>
        <source>gatekeeper-ttl</source>
        <translation>Thời hạn đăng ký (giây)</translation>
    </message>
    <message>
        <source>gatekeeper-traversal</source>
        <translation>Vượt NAT qua gatekeeper (H.460.18/19)</translation>
    </message>
    <message>
        <source>encryption</source>
        <translation>Mã hóa truyền thông</translation>
    </message>
    <message>
        <source>encryption-off</source>
        <translation>Tắt</translation>
    </message>
    <message>
        <source>encryption-auto</source>
        <translation>Khi đầu kia hỗ trợ</translation>
    </message>
    <message>
        <source>encryption-required</source>
        <translation>Bắt buộc</translation>
    </message>
    <message>
        <source>encryption-tip</source>
        <translation>Âm thanh, hình ảnh, nội dung trình chiếu và điều khiển camera được gửi bằng AES 128 bit, khóa được thỏa thuận bằng Diffie Hellman. &quot;Bắt buộc&quot; từ chối các cuộc gọi không mã hóa được.</translation>
    </message>
</context>
<context>
    <name>SettingsVideo</name>
    <message>
        <source>capture-window</source>
        <translation>Cửa sổ cần ghi hình</translation>
    </message>
    <message>
        <source>configure</source>
        <translation>Cấu hình</translation>
    </message>
    <message>
        <source>configure-video</source>
        <translation>Cấu hình video</translation>
    </message>
    <message>
        <source>current-video</source>
        <translation>Video hiện tại</translation>
    </message>
    <message>
        <source>desktop</source>
        <translation>Màn hình nền</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Toàn màn hình</translation>
    </message>
    <message>
        <source>no-device</source>
        <translation>Không có thiết bị</translation>
    </message>
    <message>
        <source>video-device</source>
        <translation>Thiết bị video</translation>
    </message>
    <message>
        <source>video-format</source>
        <translation>Định dạng video</translation>
    </message>
</context>
<context>
    <name>SoundDevices</name>
    <message>
        <source>default-audio</source>
        <translation>Âm thanh mặc định</translation>
    </message>
</context>
<context>
    <name>WidgetCall</name>
    <message>
        <source>no-loudspeaker-tip</source>
        <translation>Không mở được loa: bạn không nghe thấy gì của cuộc gọi</translation>
    </message>
    <message>
        <source>no-microphone-tip</source>
        <translation>Không mở được micrô: đầu xa không nghe thấy bạn</translation>
    </message>
    <message>
        <source>no-sound-state</source>
        <translation>Không có thiết bị âm thanh</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Bạn có chắc không</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Gọi</translation>
    </message>
    <message>
        <source>call-status</source>
        <translation>Trạng thái cuộc gọi</translation>
    </message>
    <message>
        <source>change-layout</source>
        <translation>Đổi bố cục</translation>
    </message>
    <message>
        <source>change-layout-tip</source>
        <translation>Nhấn để đổi bố cục</translation>
    </message>
    <message>
        <source>content-full</source>
        <translation>Nội dung toàn màn hình</translation>
    </message>
    <message>
        <source>dial-pad</source>
        <translation>Bàn phím số</translation>
    </message>
    <message>
        <source>end-call</source>
        <translation>Kết thúc cuộc gọi</translation>
    </message>
    <message>
        <source>fecc</source>
        <translation>Điều khiển camera đầu xa</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Toàn màn hình</translation>
    </message>
    <message>
        <source>full-screen-tip</source>
        <translation>Xem toàn màn hình</translation>
    </message>
    <message>
        <source>layout</source>
        <translation>Bố cục</translation>
    </message>
    <message>
        <source>local-full</source>
        <translation>Hình của tôi toàn màn hình</translation>
    </message>
    <message>
        <source>micro-volume</source>
        <translation>Âm lượng micrô</translation>
    </message>
    <message>
        <source>mute-micro</source>
        <translation>Tắt tiếng micrô</translation>
    </message>
    <message>
        <source>mute-speaker</source>
        <translation>Tắt tiếng loa</translation>
    </message>
    <message>
        <source>remote-full</source>
        <translation>Hình đầu xa toàn màn hình</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Cài đặt</translation>
    </message>
    <message>
        <source>side-by-side</source>
        <translation>Cạnh nhau</translation>
    </message>
    <message>
        <source>speaker-volume</source>
        <translation>Âm lượng loa</translation>
    </message>
    <message>
        <source>toggle-camera</source>
        <translation>Bật/tắt camera</translation>
    </message>
    <message>
        <source>toggle-layout</source>
        <translation>Chuyển bố cục</translation>
    </message>
</context>
<context>
    <name>WidgetCalling</name>
    <message>
        <source>calling</source>
        <translation>Đang gọi %1</translation>
    </message>
    <message>
        <source>connecting</source>
        <translation>Đang kết nối...</translation>
    </message>
    <message>
        <source>ringing</source>
        <translation>Đang đổ chuông...</translation>
    </message>
    <message>
        <source>cancel-call</source>
        <translation>Hủy cuộc gọi</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Đóng</translation>
    </message>
</context>
<context>
    <name>WidgetCam</name>
    <message>
        <source>configure</source>
        <translation>Cấu hình</translation>
    </message>
    <message>
        <source>desktop</source>
        <translation>Màn hình nền</translation>
    </message>
    <message>
        <source>device</source>
        <translation>Thiết bị</translation>
    </message>
    <message>
        <source>format</source>
        <translation>Định dạng</translation>
    </message>
    <message>
        <source>chosen-by-the-desktop</source>
        <translation>Do desktop chọn khi bắt đầu chia sẻ</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Toàn màn hình</translation>
    </message>
    <message>
        <source>no-device</source>
        <translation>Không có thiết bị</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>window</source>
        <translation>Cửa sổ</translation>
    </message>
</context>
<context>
    <name>WidgetContacts</name>
    <message>
        <source>xml-files</source>
        <translation>Tệp XML (*.xml)</translation>
    </message>
    <message>
        <source>add-contact</source>
        <translation>Thêm liên hệ</translation>
    </message>
    <message>
        <source>address</source>
        <translation>Địa chỉ</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Bạn có chắc không</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Gọi</translation>
    </message>
    <message>
        <source>contacts</source>
        <translation>Danh bạ</translation>
    </message>
    <message>
        <source>edit-contact</source>
        <translation>Sửa liên hệ</translation>
    </message>
    <message>
        <source>erase-all-contacts</source>
        <translation>Nhập danh bạ sẽ xóa các liên hệ hiện có</translation>
    </message>
    <message>
        <source>export-contacts</source>
        <translation>Xuất danh bạ</translation>
    </message>
    <message>
        <source>import-contacts</source>
        <translation>Nhập danh bạ</translation>
    </message>
    <message>
        <source>ip-address</source>
        <translation>Địa chỉ IP</translation>
    </message>
    <message>
        <source>name</source>
        <translation>Tên</translation>
    </message>
    <message>
        <source>organization</source>
        <translation>Tổ chức</translation>
    </message>
    <message>
        <source>protocol</source>
        <translation>Giao thức</translation>
    </message>
    <message>
        <source>remove-contact</source>
        <translation>Xóa liên hệ</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Lưu</translation>
    </message>
    <message>
        <source>export-failed</source>
        <translation>Không thể ghi danh bạ vào %1</translation>
    </message>
    <message>
        <source>import-failed</source>
        <translation>%1 không phải là tệp danh bạ; danh sách vẫn giữ nguyên</translation>
    </message>
    <message>
        <source>name-needed</source>
        <translation>Hãy nhập tên cho liên hệ</translation>
    </message>
</context>
<context>
    <name>WidgetDialpad</name>
    <message>
        <source>send</source>
        <translation>Gửi</translation>
    </message>
</context>
<context>
    <name>WidgetHistory</name>
    <message>
        <source>add-contact</source>
        <translation>Thêm liên hệ</translation>
    </message>
    <message>
        <source>add-to-contacts</source>
        <translation>Thêm vào danh bạ</translation>
    </message>
    <message>
        <source>address</source>
        <translation>Địa chỉ</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Bạn có chắc không</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Gọi</translation>
    </message>
    <message>
        <source>clear-history</source>
        <translation>Xóa lịch sử</translation>
    </message>
    <message>
        <source>duration</source>
        <translation>Thời lượng</translation>
    </message>
    <message>
        <source>flow</source>
        <translation>Hướng</translation>
    </message>
    <message>
        <source>history</source>
        <translation>Lịch sử</translation>
    </message>
    <message>
        <source>ip-address</source>
        <translation>Địa chỉ IP</translation>
    </message>
    <message>
        <source>minutes</source>
        <translation>Phút</translation>
    </message>
    <message>
        <source>name</source>
        <translation>Tên</translation>
    </message>
    <message>
        <source>organization</source>
        <translation>Tổ chức</translation>
    </message>
    <message>
        <source>protocol</source>
        <translation>Giao thức</translation>
    </message>
    <message>
        <source>remove-entry</source>
        <translation>Xóa mục</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Lưu</translation>
    </message>
    <message>
        <source>status</source>
        <translation>Trạng thái</translation>
    </message>
    <message>
        <source>time</source>
        <translation>Thời gian</translation>
    </message>
    <message>
        <source>failure</source>
        <translation>Thất bại</translation>
    </message>
    <message>
        <source>incoming</source>
        <translation>Gọi đến</translation>
    </message>
    <message>
        <source>outgoing</source>
        <translation>Gọi đi</translation>
    </message>
    <message>
        <source>success</source>
        <translation>Thành công</translation>
    </message>
    <message>
        <source>name-needed</source>
        <translation>Hãy nhập tên cho liên hệ</translation>
    </message>
    <message>
        <source>date</source>
        <translation>Ngày</translation>
    </message>
</context>
<context>
    <name>WidgetHome</name>
    <message>
        <source>call</source>
        <translation>Gọi</translation>
    </message>
    <message>
        <source>dial-pad</source>
        <translation>Bàn phím số</translation>
    </message>
    <message>
        <source>enter-address</source>
        <translation>Nhập địa chỉ</translation>
    </message>
</context>
<context>
    <name>WidgetInfo</name>
    <message>
        <source>about</source>
        <translation>Giới thiệu</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Đóng</translation>
    </message>
    <message>
        <source>info</source>
        <translation>Thông tin</translation>
    </message>
    <message>
        <source>license</source>
        <translation>Giấy phép</translation>
    </message>
    <message>
        <source>license-file-not-found</source>
        <translation>Không tìm thấy tệp giấy phép</translation>
    </message>
    <message>
        <source>open-source-licenses</source>
        <translation>Giấy phép mã nguồn mở</translation>
    </message>
    <message>
        <source>product</source>
        <translation>Sản phẩm</translation>
    </message>
    <message>
        <source>version</source>
        <translation>Phiên bản</translation>
    </message>
    <message>
        <source>built-on</source>
        <translation>bản dựng ngày</translation>
    </message>
</context>
<context>
    <name>WidgetSettings</name>
    <message>
        <source>apply</source>
        <translation>Áp dụng</translation>
    </message>
    <message>
        <source>audio</source>
        <translation>Âm thanh</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Hủy</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Đóng</translation>
    </message>
    <message>
        <source>codecs</source>
        <translation>Bộ mã hóa</translation>
    </message>
    <message>
        <source>discard</source>
        <translation>Không lưu</translation>
    </message>
    <message>
        <source>general</source>
        <translation>Chung</translation>
    </message>
    <message>
        <source>network</source>
        <translation>Mạng</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Lưu</translation>
    </message>
    <message>
        <source>save-changes</source>
        <translation>Lưu thay đổi</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Cài đặt</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
</context>
<context>
    <name>WidgetSettingsCall</name>
    <message>
        <source>audio</source>
        <translation>Âm thanh</translation>
    </message>
    <message>
        <source>auto-hide</source>
        <translation>Tự động ẩn</translation>
    </message>
    <message>
        <source>bottom</source>
        <translation>Dưới cùng</translation>
    </message>
    <message>
        <source>bottom-left</source>
        <translation>Góc dưới bên trái</translation>
    </message>
    <message>
        <source>bottom-right</source>
        <translation>Góc dưới bên phải</translation>
    </message>
    <message>
        <source>change-pip</source>
        <translation>Đổi vị trí hình trong hình</translation>
    </message>
    <message>
        <source>change-pip-tip</source>
        <translation>Nhấn để đổi vị trí hình trong hình</translation>
    </message>
    <message>
        <source>input</source>
        <translation>Đầu vào</translation>
    </message>
    <message>
        <source>layout</source>
        <translation>Bố cục</translation>
    </message>
    <message>
        <source>location</source>
        <translation>Vị trí</translation>
    </message>
    <message>
        <source>off</source>
        <translation>Tắt</translation>
    </message>
    <message>
        <source>output</source>
        <translation>Đầu ra</translation>
    </message>
    <message>
        <source>pip</source>
        <translation>Hình trong hình</translation>
    </message>
    <message>
        <source>toolbar</source>
        <translation>Thanh công cụ</translation>
    </message>
    <message>
        <source>top</source>
        <translation>Trên cùng</translation>
    </message>
    <message>
        <source>top-left</source>
        <translation>Góc trên bên trái</translation>
    </message>
    <message>
        <source>top-right</source>
        <translation>Góc trên bên phải</translation>
    </message>
</context>
<context>
    <name>WidgetStatistics</name>
    <message>
        <source>still-picture</source>
        <translation>ảnh tĩnh</translation>
    </message>
    <message>
        <source>audio</source>
        <translation>Âm thanh</translation>
    </message>
    <message>
        <source>bandwidth</source>
        <translation>Băng thông</translation>
    </message>
    <message>
        <source>codec</source>
        <translation>Bộ mã hóa</translation>
    </message>
    <message>
        <source>jitter</source>
        <translation>Độ rung pha</translation>
    </message>
    <message>
        <source>latency</source>
        <translation>Độ trễ</translation>
    </message>
    <message>
        <source>packet-lost</source>
        <translation>Gói bị mất</translation>
    </message>
    <message>
        <source>rate</source>
        <translation>Tốc độ</translation>
    </message>
    <message>
        <source>rx</source>
        <translation>Nhận</translation>
    </message>
    <message>
        <source>size</source>
        <translation>Kích thước</translation>
    </message>
    <message>
        <source>transfer</source>
        <translation>Đã truyền</translation>
    </message>
    <message>
        <source>tx</source>
        <translation>Gửi</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>encryption</source>
        <translation>Mã hóa</translation>
    </message>
    <message>
        <source>not-encrypted</source>
        <translation>không</translation>
    </message>
    <message>
        <source>path-allows</source>
        <translation>Đường truyền</translation>
    </message>
    <message>
        <source>rate-why</source>
        <translation>Lý do</translation>
    </message>
    <message>
        <source>rate-start</source>
        <translation>ban đầu</translation>
    </message>
    <message>
        <source>rate-loss</source>
        <translation>mất gói</translation>
    </message>
    <message>
        <source>rate-delay</source>
        <translation>độ trễ</translation>
    </message>
    <message>
        <source>rate-rising</source>
        <translation>đang tăng</translation>
    </message>
    <message>
        <source>rate-holding</source>
        <translation>giữ nguyên</translation>
    </message>
    <message>
        <source>rate-full</source>
        <translation>tối đa</translation>
    </message>
</context>
<context>
    <name>kxlanguage</name>
    <message>
        <source>locale</source>
        <translation>vi_VN</translation>
    </message>
</context>
</TS>
