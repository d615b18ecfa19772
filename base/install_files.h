#pragma once
// The names of what the launcher keeps in the install folder, and of the
// files a release folder or patch source publishes, spelled once.

// A release's list of files, installed beside the game and published at the
// top of a release, and its signature's name in the download cache.
inline constexpr wchar_t kReleaseListName[] = L"update_manifest.json";
inline constexpr char kReleaseListUrlName[] = "update_manifest.json";
inline constexpr wchar_t kReleaseSignatureName[] = L"update_manifest.sig";
// A release's signatures sit in this folder, one "<sha256>.sig" a list.
inline constexpr wchar_t kSignatureFolderName[] = L"manifests";
inline constexpr char kSignatureUrlFolder[] = "manifests/";
inline constexpr wchar_t kPatchNotesName[] = L"patch_notes.json";
inline constexpr char kPatchNotesUrlName[] = "patch_notes.json";

// The player's settings beside the launcher.
inline constexpr wchar_t kPatchSourceSettingName[] = L"patch_source.txt";
inline constexpr wchar_t kServerUrlSettingName[] = L"server_url.txt";

// The launcher's own folders and files in the install folder.
inline constexpr wchar_t kDownloadCacheName[] = L".patch_remote";   // the release check's downloads
inline constexpr wchar_t kStagingFolderName[] = L".patch_staging";  // an update's verified copies
inline constexpr wchar_t kRollbackFolderName[] = L".patch_rollback";
inline constexpr wchar_t kInstallIndexName[] = L".patch_index";  // the record of files known good
inline constexpr wchar_t kWorkLockName[] = L".patch_lock";
// A replacement's new copy beside its target, until it is renamed over it.
inline constexpr wchar_t kReplacementSuffix[] = L".patch_new";
