// The texts the operator window shows, exactly as the operators know them.
#pragma once

namespace tessar::texts {

inline constexpr const char kApplicationTitle[] = "Драйвер Tessar";
inline constexpr const char kMainCaption[] = "Драйвер - Tessar";
inline constexpr const char kTitleBand[] = "КПО Vormal - Драйвер Tessar";
inline constexpr const char kStatusToolbar[] = "Состояние";
inline constexpr const char kSettingsToolbar[] = "Настройки";
inline constexpr const char kStationLink[] = "Контроль связи со станцией";
inline constexpr const char kStartTime[] = "Дата и время запуска";
inline constexpr const char kClosingPassword[] = "Пароль для закрытия";
inline constexpr const char kElapsedBefore[] = "Время с последнего сообщения";
inline constexpr const char kServerLink[] = "Связь с сервером сообщений";
inline constexpr const char kPortBefore[] = "Com Port";
inline constexpr const char kMessageCount[] = "Количество сообщений";
inline constexpr const char kDuplicateCount[] = "Количество дублей";
inline constexpr const char kPortGroup[] = "Com порт";
inline constexpr const char kStop[] = "Остановить";
inline constexpr const char kStart[] = "Запустить";
inline constexpr const char kRescan[] = "Сканировать заново";
inline constexpr const char kPasswordCaption[] = "Закрытый доступ";
inline constexpr const char kPasswordPrompt[] = "Введите пароль для доступа";
inline constexpr const char kOk[] = "ОК";
inline constexpr const char kCancel[] = "Отмена";
inline constexpr const char kNoticeCaption[] = "advsm";
inline constexpr const char kWrongPassword[] = "Не правильный пароль.";
inline constexpr const char kAccessDenied[] = "Неправильный пароль. В доступе отказано";
inline constexpr const char kNoPortToStart[] = "Порт не выбран: нажмите «Сканировать заново»";
inline constexpr const char kTrayRestore[] = "Восстановить";
inline constexpr const char kTrayClose[] = "Закрыть";

}  // namespace tessar::texts
