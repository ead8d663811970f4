# How many of ctest's slots (a quarter of a core each; tests/CMakeLists.txt says why) a test
# takes in each build, for the tests that take other than their program's default: one for an
# end-to-end test, two for a unit test. Columns: release, asan-ubsan, tsan. Measured as the CPU
# time of the test and of every process it starts and reaps, over its wall time, times four,
# rounded up; ASan slows code less than TSan does, so its column takes the larger of the other
# two. A test that waits on real time for seconds takes one slot; one that keeps more than its
# default busy takes what it keeps busy. Tests of a second or less keep the default: their share
# hardly moves the suite's time. A new test that keeps the CPU busy for seconds belongs here; a
# name that no longer matches a test is harmless.
set(OMBRELIA_TEST_SLOTS_e2e_tests
  ChannelFlood.ViewerHoldsWithinItsBoundWhatAPeerOpeningLongLabelledChannelsOnEveryStreamSends 1 2 2
  HostilePeer.FloodOfRequestsAndChainsKeepsTheViewerBoundedAndServing 1 2 2
  HttpClientNginxTest.OverHttp2PlayersThatReadNothingHoldOnlyTheirLookAheadAndReadWholeLater 2 2 1
  HugeAttributeMaster.OneVariantOfMillionsOfAttributesPeaksWithinItsBudgetAndStillPlays 2 2 1
  OfferFlood.ViewerUnderADesktopDescriptorLimitOutlastsThousandsOfOffersAndServesANewcomer 1 2 2
  OfferFloodWithoutLoopbackBinding.ConnectionsHoldNoMoreDescriptorsThanTheBudgetOnManyAddresses 2 2 2
  PeerSegments.SecondViewerTakesSegmentsFromTheFirst 1 2 2
  PlaylistConnections.PlayersAskingAtOnceForLargePlaylistsFromOneOriginGetThemAll 3 8 8
  PlaylistsInFlight.ManyPlayersAtOnceKeepToTheBudgetAndPlayersThatGiveUpLeaveNoWork 3 6 6
  ProxyPortTaken.AnotherProgramOnThePortGetsNothingAndTheApplicationIsToldWhy 1 2 2
  RedirectToHttp2.EveryAnswerThroughTheProxyIsWholeFromFreshStarts 1 2 2
  ReverseProxy.CountsEveryOriginByteOfByteRangesAndInitSegments 1 2 2
  ReverseProxy.FollowsARedirectAndKeepsA404 1 2 2
  ReverseProxy.LevelZeroKeepsTheAudioOnlyVariantWithoutResolutionAndPlaysIt 1 2 2
  ReverseProxy.PlaysFmp4WithAnAudioGroupEncryptedCrLfAndByteRangeStreams 4 4 3
  ReverseProxy.WholePlaylistReadsTheSameBytesAsTheOriginAndEveryRequestCameThroughIt 1 2 2
  RewrittenPlaylistBound.PlaylistsAtLongUrlsCostTheirTextAndLongUrlStreamsStillPlay 1 3 3
  RewrittenPlaylistBound.SwellingPlaylistsGetAnErrorInBoundedMemoryAndLongUrlOnesStillPlay 3 3 3
  SendBudget.OneParticipantAskingForAMinuteWritesFewLinesAndAPeerLeavingIsCountedWhatItGot 1 3 3
  SendBudget.ParticipantsThatReadNothingHoldTheViewerToItsBudgetAndFewLogLines 6 6 6
  SharedBoundsPerParty.PlayersThatReadNothingGiveTheOriginsConnectionsUp 1 3 3
  SharedBoundsPerParty.PlayersThatReadNothingKeepTheViewerWithinTheBodyBudget 1 2 2
  SharedBoundsPerParty.ReadersGetTheirSegmentsWholeWhenOtherBodiesFillTheBudget 1 3 3
  SlowPlaylistReader.AnotherPlayersLargePlaylistIsAnsweredWhileOneReadsSlowly 2 4 4
  UploadShare.AnswersToAPeerThatReadsNothingStopQueueingAtTheirBound 1 4 4
  UploadShare.BurstOfSixHundredAsksIsAnsweredAskByAsk 1 3 3
  UploadShare.PeerRepeatingItsAsksLeavesAnHonestPeerItsPace 2 3 3
  VideoSwitch.AManagerKeptAcrossTheSwitchStopsSharingAndSaysSoOnce 1 2 2
  VideoSwitch.ViewersOfTheFirstVideoPlayOnlyItsSegmentsWhenTheNextTakesItsOwnManager 2 3 3
)
set(OMBRELIA_TEST_SLOTS_long_tests
  LossyLinkTest.ConnectionOutlivesThreeMinutesAtFivePercentLoss 1 1 1
)
set(OMBRELIA_TEST_SLOTS_unit_datachannel
  DataChannelCloseTest.AChannelClosedDuringALongOutageClosesOnceThePathRecovers 1 1 1
  DataChannelCloseTest.ACloseThePeerNeverAnswersEndsLocallyWithALogLine 1 1 1
  DataChannelCloseTest.ClosesGoOneAtATimeAndOnlyOnceThePeerHoldsTheDataSentBeforeThem 1 1 1
  DataChannelFloodTest.PeerSendingFasterThanTheViewerReadsIsCutOffWithinTheBound 2 3 3
  DataChannelImpairedPathTest.ChannelsClosedBehindDataAllCloseOnALossyPath 1 1 1
  DataChannelImpairedPathTest.MessagesUpToTheAdvertisedMaximumArriveWholeAndInOrderDespiteLossAndReordering 1 1 1
  DataChannelImpairedPathTest.OversizedOrderedMessagesAreDroppedAloneOnAReorderingPath 1 1 1
  DataChannelImpairedPathTest.OversizedUnorderedMessagesAreDroppedAloneOnAReorderingPath 1 1 1
  StuckAssociationTest.AssociationThatNoLongerRetransmitsEndsItsConnection 1 1 1
  StuckAssociationTest.ThirteenSecondOutageOfOneDirectionIsNotTakenForAStall 1 1 1
)
set(OMBRELIA_TEST_SLOTS_unit_platform
  HttpClientTest.EngineSleepsWhileItsTransfersWaitAndWhileItsConnectionsIdle 1 1 1
  HttpClientTest.IdleReaderGivesItsConnectionUpToARequestSomeoneWaitsFor 1 1 1
  HttpClientTest.OnlySilenceEndsATransferNotSlownessNorAPauseForItsReader 1 1 1
)
set(OMBRELIA_TEST_SLOTS_unit_proxy
  HTTPLoaderTest.TricklingPlaylistIsEndedOnceAnotherWaitsForItsRoom 1 1 1
  PlaylistAnswersBound.PlayersThatReadNothingHoldNoMoreThanTheBudgetInAnswers 1 1 1
  SegmentDelivery.ThousandConcurrentRequestsLeaveNothingInFlight 2 3 3
)
set(OMBRELIA_TEST_SLOTS_unit_signalling
  NativeWebSocketTest.TrackerFloodingMegabyteTextsIsReadNoFasterThanTheyAreHandled 2 3 3
)
set(OMBRELIA_TEST_SLOTS_unit_store
  HLSManifestModifierTest.PinsAMasterOfManyVariantsInOnePass 2 3 3
)
